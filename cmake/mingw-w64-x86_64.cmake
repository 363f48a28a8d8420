# Cross-compiling usb_series for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DUSB_SERIES_MINGW_PREFIX=/path/to/cross/prefix
#
# USB_SERIES_MINGW_PREFIX is where libusb-1.0 (and GoogleTest, for the tests) were installed for
# Windows; scripts/windows builds both there. CMake reads this file again inside its compiler checks
# without the -D values of the command line, so every use of such a value is guarded.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model, not win32: GoogleTest needs std::mutex, which the win32 model lacks. The
# static link keeps its winpthread out of the DLL list.
set(USB_SERIES_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${USB_SERIES_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${USB_SERIES_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${USB_SERIES_MINGW_TRIPLET}-windres)

# Headers, libraries and packages come from the MinGW sysroot and the cross prefix only, never
# from the Linux system; programs (pkg-config, wine) come from the Linux system.
set(CMAKE_FIND_ROOT_PATH /usr/${USB_SERIES_MINGW_TRIPLET})
if(USB_SERIES_MINGW_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH "${USB_SERIES_MINGW_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the cross prefix's .pc files alone: the Linux libusb-1.0.pc would link the
# wrong library.
if(USB_SERIES_MINGW_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${USB_SERIES_MINGW_PREFIX}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# Cross-built test programs run under wine (ctest and gtest_discover_tests use this), unless the
# command line names another runner.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(USB_SERIES_WINE NAMES wine wine64)
  if(USB_SERIES_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${USB_SERIES_WINE}")
  endif()
endif()
