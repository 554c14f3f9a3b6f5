# KVN_SANITIZE: empty, "address,undefined" or "thread"; applies to everything built in this tree.
set(KVN_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined or thread)")
if(KVN_SANITIZE)
  add_compile_options(-fsanitize=${KVN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KVN_SANITIZE})
  # g++ warns that ThreadSanitizer does not model a fence. The SDL platform's fences order an
  # atomic store before an atomic load (the wake of an idle loop); no plain data is handed over by
  # them, so nothing ThreadSanitizer checks depends on them.
  if(KVN_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
endif()

# Fuzzing builds instrument everything for coverage; only the fuzz targets link libFuzzer's main.
if(KVN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
