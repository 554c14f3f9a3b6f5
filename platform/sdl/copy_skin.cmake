# Copies the skin folder next to the program: cmake -DFROM=<dir> -DTO=<dir> -P copy_skin.cmake
if(EXISTS "${FROM}")
  file(MAKE_DIRECTORY "${TO}")
  file(COPY "${FROM}/" DESTINATION "${TO}")
endif()
