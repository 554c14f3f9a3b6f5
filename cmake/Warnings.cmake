# Every target of ours gets these through kvn_warnings.
add_library(kvn_warnings INTERFACE)
if(MSVC)
  target_compile_options(kvn_warnings INTERFACE /W4)
else()
  target_compile_options(kvn_warnings INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wpedantic)
  # Off by default: a newer compiler's new warning must not stop a packager's build. The project's
  # scripts and CI switch it on.
  option(KVN_WERROR "Treat warnings as errors" OFF)
  if(KVN_WERROR)
    target_compile_options(kvn_warnings INTERFACE -Werror)
  endif()
endif()
