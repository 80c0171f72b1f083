# Compressed inputs of qelttrace: zlib (gzip) in every build, zstd where the
# build has it. Found here, before the subdirectories, so that the library,
# its tests and the fuzz targets all see the same targets.
#
#   ZLIB::ZLIB        zlib; in the Windows build its static library, since the
#                     programs run on a plain Windows that has no zlib1.dll
#   qelt_zstd         an interface target: libzstd and QELT_HAVE_ZSTD=1 where
#                     the build reads zstd, QELT_HAVE_ZSTD=0 where it does not
#   QELT_ZSTD         the option: on by default, off in the Windows build
#                     (Debian has no MinGW libzstd); a build without it refuses
#                     a zstd input with a message that says so
if(WIN32)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)

if(WIN32)
  set(qelt_zstd_default OFF)
else()
  set(qelt_zstd_default ON)
endif()
option(QELT_ZSTD "qelttrace reads zstd-compressed inputs (libzstd)" ${qelt_zstd_default})

add_library(qelt_zstd INTERFACE)
if(QELT_ZSTD)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QELT_LIBZSTD IMPORTED_TARGET libzstd)
  if(NOT QELT_LIBZSTD_FOUND)
    message(FATAL_ERROR "libzstd not found: install libzstd-dev (scripts/setup.sh), or configure "
                        "with -DQELT_ZSTD=OFF for a qelttrace that refuses zstd inputs")
  endif()
  target_link_libraries(qelt_zstd INTERFACE PkgConfig::QELT_LIBZSTD)
  target_compile_definitions(qelt_zstd INTERFACE QELT_HAVE_ZSTD=1)
else()
  target_compile_definitions(qelt_zstd INTERFACE QELT_HAVE_ZSTD=0)
endif()
