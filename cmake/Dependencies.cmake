# Third-party code comes from Debian: Boost and GoogleTest as packages (and,
# for mingw-w64, Boost built from Debian's source package), pugixml compiled
# here from Debian's source package in its wide-character mode.

set(CUSTODEX_CACHE "$ENV{CUSTODEX_CACHE}" CACHE PATH "Cache of fetched and built third-party code")
if(NOT CUSTODEX_CACHE)
  set(CUSTODEX_CACHE /var/cache/custodex)
endif()

set(PUGIXML_SOURCE_DIR "" CACHE PATH "Folder holding pugixml.cpp")
if(NOT PUGIXML_SOURCE_DIR)
  file(GLOB _pugixml_candidates "${CUSTODEX_CACHE}/src/pugixml/*/src")
  list(GET _pugixml_candidates 0 PUGIXML_SOURCE_DIR)
endif()
if(NOT EXISTS "${PUGIXML_SOURCE_DIR}/pugixml.cpp")
  message(FATAL_ERROR "pugixml source not found; run ./scripts/test once to fetch it")
endif()
add_library(pugixml_wide STATIC "${PUGIXML_SOURCE_DIR}/pugixml.cpp")
target_include_directories(pugixml_wide SYSTEM PUBLIC "${PUGIXML_SOURCE_DIR}")
target_compile_definitions(pugixml_wide PUBLIC PUGIXML_WCHAR_MODE)
target_compile_options(pugixml_wide PRIVATE -w)

if(WIN32)
  list(APPEND CMAKE_FIND_ROOT_PATH "${CUSTODEX_CACHE}/mingw-boost")
elseif(CUSTODEX_RELEASE)
  # Boost linked in, position-independent (built by scripts/package): the
  # package then needs only what every Debian system has.
  list(PREPEND CMAKE_PREFIX_PATH "${CUSTODEX_CACHE}/pic-boost")
  set(Boost_USE_STATIC_LIBS ON)
endif()
foreach(_component serialization filesystem thread date_time system exception)
  find_package(boost_${_component} 1.81.0 EXACT CONFIG REQUIRED)
endforeach()

if(WIN32)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
  if(CUSTODEX_BENCHMARKS)
    find_package(benchmark REQUIRED)
  endif()
endif()
