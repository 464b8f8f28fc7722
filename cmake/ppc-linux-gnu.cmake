# Cross build for the board: 32-bit big-endian PowerPC, glibc.
#
# Its binutils are named, not found: a build folder configured before they
# were installed found the host's, and keeps what it found in its cache and
# in its record of the compiler (ar and ranlib), which is read after this
# file. A host strip fails on every PowerPC file of "cmake --install
# --strip" and cpack, and leaves them unstripped. So they go into the cache
# here, and again over the compiler's record at the end of project().
foreach(tool ar ranlib strip objcopy objdump nm readelf addr2line)
  string(TOUPPER ${tool} variable)
  set(CMAKE_${variable} /usr/bin/powerpc-linux-gnu-${tool} CACHE FILEPATH "the board's ${tool}" FORCE)
  set(CMAKE_${variable} /usr/bin/powerpc-linux-gnu-${tool})
endforeach()
if(CMAKE_CXX_COMPILER_LOADED)  # included again by project()
  return()
endif()
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_FILE})

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L /usr/powerpc-linux-gnu)
