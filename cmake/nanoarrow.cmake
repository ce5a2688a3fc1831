# qx_nanoarrow: nanoarrow's C library (Apache-2.0), which builds and reads
# the Arrow C data structures of the columnar path (qxcore/arrow/).
#
# The C sources come from one pinned source distribution on the Python
# package index that carries them (subprojects/arrow-nanoarrow/src/ in the
# nanoarrow package's sdist). The archive is downloaded once into
# QX_CACHE_DIR and checked against its SHA-256 on every configure; an
# offline build points QX_NANOARROW_SDIST at a copy. Its symbols are renamed
# (NANOARROW_NAMESPACE) and hidden, so another copy in the process (pyarrow's,
# a driver's) never meets ours.
set(QX_NANOARROW_SDIST_NAME "nanoarrow-0.9.0.tar.gz")
set(QX_NANOARROW_SDIST_URL "https://files.pythonhosted.org/packages/bc/b2/8fedfa966cc25126e1c9090e6d9fed75dab4e1d2716e3ca2d18ea2d6f438/nanoarrow-0.9.0.tar.gz")
set(QX_NANOARROW_SDIST_SHA256 1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3)

if(DEFINED ENV{QX_CACHE_DIR})
  set(_na_cache "$ENV{QX_CACHE_DIR}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(_na_cache "$ENV{XDG_CACHE_HOME}/pyqivrexdb")
elseif(DEFINED ENV{HOME})
  set(_na_cache "$ENV{HOME}/.cache/pyqivrexdb")
else()
  set(_na_cache "${CMAKE_BINARY_DIR}/cache")
endif()
set(QX_NANOARROW_SDIST "$ENV{QX_NANOARROW_SDIST}" CACHE FILEPATH "The pinned source distribution that carries nanoarrow's C sources")
if(NOT QX_NANOARROW_SDIST)
  set(QX_NANOARROW_SDIST "${_na_cache}/${QX_NANOARROW_SDIST_NAME}")
endif()

function(qx_nanoarrow_sdist_ok out)
  set(${out} FALSE PARENT_SCOPE)
  if(EXISTS "${QX_NANOARROW_SDIST}")
    file(SHA256 "${QX_NANOARROW_SDIST}" have)
    if(have STREQUAL QX_NANOARROW_SDIST_SHA256)
      set(${out} TRUE PARENT_SCOPE)
    else()
      message(WARNING "qx_nanoarrow: ${QX_NANOARROW_SDIST} has SHA-256 ${have}, not the pinned ${QX_NANOARROW_SDIST_SHA256}")
    endif()
  endif()
endfunction()

set(_na_src "${CMAKE_BINARY_DIR}/nanoarrow")
if(NOT EXISTS "${_na_src}/nanoarrow/nanoarrow.h")
  qx_nanoarrow_sdist_ok(_ok)
  if(NOT _ok)
    message(STATUS "qx_nanoarrow: fetching ${QX_NANOARROW_SDIST_NAME} into ${_na_cache}")
    file(MAKE_DIRECTORY "${_na_cache}")
    set(QX_NANOARROW_SDIST "${_na_cache}/${QX_NANOARROW_SDIST_NAME}")
    file(DOWNLOAD "${QX_NANOARROW_SDIST_URL}" "${QX_NANOARROW_SDIST}.part"
         EXPECTED_HASH SHA256=${QX_NANOARROW_SDIST_SHA256} STATUS _status TLS_VERIFY ON)
    list(GET _status 0 _rc)
    if(_rc EQUAL 0)
      file(RENAME "${QX_NANOARROW_SDIST}.part" "${QX_NANOARROW_SDIST}")
    else()
      file(REMOVE "${QX_NANOARROW_SDIST}.part")
      message(FATAL_ERROR "qx_nanoarrow: could not fetch ${QX_NANOARROW_SDIST_URL} (${_status}). "
              "Offline, download it elsewhere and pass -DQX_NANOARROW_SDIST=PATH or QX_NANOARROW_SDIST=PATH.")
    endif()
  endif()
  set(_x "${CMAKE_BINARY_DIR}/nanoarrow-extract")
  file(REMOVE_RECURSE "${_x}")
  file(ARCHIVE_EXTRACT INPUT "${QX_NANOARROW_SDIST}" DESTINATION "${_x}"
       PATTERNS "*/subprojects/arrow-nanoarrow/src/nanoarrow/nanoarrow.h"
                "*/subprojects/arrow-nanoarrow/src/nanoarrow/nanoarrow_config.h.in"
                "*/subprojects/arrow-nanoarrow/src/nanoarrow/common/*.c"
                "*/subprojects/arrow-nanoarrow/src/nanoarrow/common/*.h")
  file(GLOB _dir "${_x}/*/subprojects/arrow-nanoarrow/src/nanoarrow")
  if(NOT EXISTS "${_dir}/nanoarrow.h")
    message(FATAL_ERROR "qx_nanoarrow: no nanoarrow.h in ${QX_NANOARROW_SDIST}")
  endif()
  set(NANOARROW_VERSION_MAJOR 0)
  set(NANOARROW_VERSION_MINOR 9)
  set(NANOARROW_VERSION_PATCH 0)
  set(NANOARROW_VERSION 0.9.0)
  set(NANOARROW_NAMESPACE_DEFINE "#define NANOARROW_NAMESPACE QxNanoarrow")
  file(MAKE_DIRECTORY "${_na_src}/nanoarrow/common")
  configure_file("${_dir}/nanoarrow_config.h.in" "${_na_src}/nanoarrow/nanoarrow_config.h" @ONLY)
  file(GLOB _common "${_dir}/common/*.c" "${_dir}/common/*.h")
  list(FILTER _common EXCLUDE REGEX "_test\\.")
  file(COPY ${_common} DESTINATION "${_na_src}/nanoarrow/common")
  file(COPY "${_dir}/nanoarrow.h" DESTINATION "${_na_src}/nanoarrow")
  file(REMOVE_RECURSE "${_x}")
endif()

add_library(qx_nanoarrow STATIC
  "${_na_src}/nanoarrow/common/array.c" "${_na_src}/nanoarrow/common/schema.c"
  "${_na_src}/nanoarrow/common/array_stream.c" "${_na_src}/nanoarrow/common/utils.c")
target_include_directories(qx_nanoarrow SYSTEM PUBLIC "${_na_src}")
# Third-party C, as SQLite: none of the project's warnings.
if(MSVC)
  set_property(TARGET qx_nanoarrow PROPERTY COMPILE_OPTIONS "/w")
else()
  set_property(TARGET qx_nanoarrow PROPERTY COMPILE_OPTIONS "-w")
endif()
set_property(TARGET qx_nanoarrow PROPERTY C_VISIBILITY_PRESET hidden)
