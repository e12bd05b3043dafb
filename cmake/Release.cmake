# What a shipped build adds to the tested one. The code and its flags stay the
# same (RelWithDebInfo: -O2 -g -DNDEBUG, as the tests run it); a release build
# keeps build paths and link times out of its files, so the same commit built
# in any two folders gives the same bytes, and on Linux links Boost statically.
# Stripping and the separate debug files are the packaging script's work.

option(CUSTODEX_RELEASE "Build the files as they ship: no build paths or time stamps in them" OFF)

# What the Windows version resource names; a vendor that ships the module sets its own.
set(CUSTODEX_COMPANY "Custodex" CACHE STRING "Company name in the version resource")
set(CUSTODEX_COPYRIGHT "Copyright (C) 2026 Custodex" CACHE STRING "Copyright line in the version resource")

if(CUSTODEX_RELEASE)
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
  if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
  else()
    add_link_options(-Wl,--build-id=sha1)
  endif()
endif()
