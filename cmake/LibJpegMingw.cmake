# libjpeg for the Windows builds: libjpeg-turbo compiled with this build's
# mingw toolchain from Debian's source package, which scripts/setup.sh has put
# into KV_DEPS_SRC_DIR (build/_deps/src). Nothing is downloaded here.
#
# Defines the imported static library kv::libjpeg (headers and libjpeg.a).
# The library is built once per build tree, in _deps/, and kept there.
include_guard(GLOBAL)

if(NOT WIN32)
  message(FATAL_ERROR "LibJpegMingw.cmake is for the mingw builds; native builds use find_package(JPEG)")
endif()

set(_kv_jpeg_root ${CMAKE_BINARY_DIR}/_deps/libjpeg-turbo)
set(_kv_jpeg_src ${_kv_jpeg_root}/src)
set(_kv_jpeg_install ${_kv_jpeg_root}/install)

# Unpack the source package once, at configure time: dpkg-source applies
# Debian's patches; without it the plain upstream tarball will do.
if(NOT EXISTS ${_kv_jpeg_src}/CMakeLists.txt)
  file(GLOB _kv_jpeg_dsc ${KV_DEPS_SRC_DIR}/libjpeg-turbo_*.dsc)
  file(GLOB _kv_jpeg_orig ${KV_DEPS_SRC_DIR}/libjpeg-turbo_*.orig.tar.*)
  if(NOT _kv_jpeg_orig)
    message(FATAL_ERROR "libjpeg-turbo's source package is not in ${KV_DEPS_SRC_DIR}: run scripts/setup.sh")
  endif()
  list(GET _kv_jpeg_orig 0 _kv_jpeg_orig)
  file(REMOVE_RECURSE ${_kv_jpeg_src} ${_kv_jpeg_root}/unpack)
  file(MAKE_DIRECTORY ${_kv_jpeg_root})
  find_program(KV_DPKG_SOURCE dpkg-source)
  set(_kv_jpeg_result 1)
  if(_kv_jpeg_dsc AND KV_DPKG_SOURCE)
    list(GET _kv_jpeg_dsc 0 _kv_jpeg_dsc)
    execute_process(
      COMMAND ${KV_DPKG_SOURCE} --no-check -x ${_kv_jpeg_dsc} ${_kv_jpeg_src}
      WORKING_DIRECTORY ${_kv_jpeg_root}
      RESULT_VARIABLE _kv_jpeg_result
      OUTPUT_QUIET)
  endif()
  if(NOT _kv_jpeg_result EQUAL 0)
    file(REMOVE_RECURSE ${_kv_jpeg_src})
    file(ARCHIVE_EXTRACT INPUT ${_kv_jpeg_orig} DESTINATION ${_kv_jpeg_root}/unpack)
    file(GLOB _kv_jpeg_top LIST_DIRECTORIES true ${_kv_jpeg_root}/unpack/*)
    list(GET _kv_jpeg_top 0 _kv_jpeg_top)
    file(RENAME ${_kv_jpeg_top} ${_kv_jpeg_src})
    file(REMOVE_RECURSE ${_kv_jpeg_root}/unpack)
  endif()
  if(NOT EXISTS ${_kv_jpeg_src}/CMakeLists.txt)
    message(FATAL_ERROR "could not unpack libjpeg-turbo from ${KV_DEPS_SRC_DIR}")
  endif()
endif()

include(ExternalProject)
set(_kv_jpeg_library ${_kv_jpeg_install}/lib/libjpeg.a)
ExternalProject_Add(kv_libjpeg_build
  SOURCE_DIR ${_kv_jpeg_src}
  BINARY_DIR ${_kv_jpeg_root}/build
  INSTALL_DIR ${_kv_jpeg_install}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DENABLE_SHARED=OFF
    -DENABLE_STATIC=ON
    -DWITH_SIMD=OFF
    -DWITH_TURBOJPEG=OFF
    -DWITH_JPEG8=OFF
  BUILD_BYPRODUCTS ${_kv_jpeg_library}
  # Only the library and its headers: the command-line tools are not needed.
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target jpeg-static
  INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory <INSTALL_DIR>/lib <INSTALL_DIR>/include
    COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/libjpeg.a <INSTALL_DIR>/lib/libjpeg.a
    COMMAND ${CMAKE_COMMAND} -E copy <SOURCE_DIR>/jpeglib.h <SOURCE_DIR>/jmorecfg.h <SOURCE_DIR>/jerror.h
            <BINARY_DIR>/jconfig.h <INSTALL_DIR>/include
  LOG_CONFIGURE TRUE
  LOG_BUILD TRUE
  LOG_OUTPUT_ON_FAILURE TRUE)

# The imported target names its headers at configure time; the folder must exist.
file(MAKE_DIRECTORY ${_kv_jpeg_install}/include)
add_library(kv_libjpeg STATIC IMPORTED GLOBAL)
set_target_properties(kv_libjpeg PROPERTIES
  IMPORTED_LOCATION ${_kv_jpeg_library}
  INTERFACE_INCLUDE_DIRECTORIES ${_kv_jpeg_install}/include)
add_dependencies(kv_libjpeg kv_libjpeg_build)
add_library(kv::libjpeg ALIAS kv_libjpeg)
