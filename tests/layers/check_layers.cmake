# The rules of the layers, held against the link facts that configuring wrote (cmake -D
# FACTS=<link_facts.cmake> -P check_layers.cmake). Every broken rule is reported; any fails.
cmake_minimum_required(VERSION 3.25)
include(${FACTS})

# The libraries from the bottom up: each may link only libraries of a lower layer.
set(LAYER_moon_diag -1)   # below everything that traces, the windowing included
set(LAYER_moon_platform 0)
set(LAYER_moon_store 1)
set(LAYER_moon_handoff 1)
set(LAYER_moon_window 1)
set(LAYER_moon_net 2)
set(LAYER_moon_browsers 2)
set(LAYER_moon_web 3)
set(LAYER_moon_settings 4)
set(LAYER_moon_core 5)
set(LAYER_moon_dialogs 6)
set(LAYER_moon_ui 7)

# Nothing of the toolkit may reach these, nor the windowing: the layers below the user interface
# and their test programs. The core's are built in every configuration.
set(WINDOWLESS moon_diag moon_platform moon_store moon_net moon_browsers moon_web moon_settings moon_core
    moon_diag_tests moon_platform_tests moon_store_tests moon_net_tests moon_browsers_tests
    moon_web_tests moon_settings_tests moon_core_tests moon_bench)
set(REQUIRED moon_core moon_core_tests moon_platform moon_store moon_net moon_browsers moon_handoff)

set(QT_PATTERN "^Qt[0-9]*::")
set(CURL_TARGET CURL::libcurl)
# The libraries behind the browsers' cookie stores: the system library's alone, and the test
# support's that makes such stores for the tests and the benchmark.
set(STORE_TARGETS SQLite::SQLite3 OpenSSL::Crypto PkgConfig::LIBSECRET)
set(STORE_FIXTURES moon_storefixtures)
# libcrypto also hashes the downloads' checksums in the internet client.
set(CRYPTO_TARGET OpenSSL::Crypto)
set(CRYPTO_LIBRARIES moon_browsers moon_net)
set(JSON_TARGET nlohmann_json::nlohmann_json)
set(JSON_LIBRARIES moon_browsers moon_handoff)
set(WINDOW_FOLDER_PATTERN "^(window|tests/support/window)(/|$)")
# The handoff's transport waits on Qt's event loop and its local socket: Qt's core and network,
# never the widgets nor the windowing.
set(HANDOFF_QT Qt6::Core Qt6::Network)
set(failures "")

foreach(target IN LISTS REQUIRED)
  if(NOT target IN_LIST MOON_TARGETS)
    list(APPEND failures "${target} is not in the build")
  endif()
endforeach()

foreach(target IN LISTS WINDOWLESS)
  foreach(item IN LISTS CLOSURE_${target})
    if(item MATCHES "${QT_PATTERN}" OR item MATCHES "^moon_window")
      list(APPEND failures "${target} links ${item}: Qt and the windowing stay above it")
    endif()
  endforeach()
endforeach()

foreach(target IN LISTS MOON_TARGETS)
  foreach(item IN LISTS LINKS_${target})
    if(item MATCHES "${QT_PATTERN}" AND NOT DIR_${target} MATCHES "${WINDOW_FOLDER_PATTERN}"
       AND NOT (target STREQUAL "moon_handoff" AND item IN_LIST HANDOFF_QT))
      list(APPEND failures "${target} (${DIR_${target}}) links ${item}: only the windowing sees Qt's widgets")
    endif()
    if(item STREQUAL CURL_TARGET AND NOT target STREQUAL "moon_net")
      list(APPEND failures "${target} links ${item}: only the internet client sees libcurl")
    endif()
    if(item STREQUAL CRYPTO_TARGET)
      if(NOT target IN_LIST CRYPTO_LIBRARIES AND NOT target IN_LIST STORE_FIXTURES)
        list(APPEND failures "${target} links ${item}: only the browsers' library and the internet client see libcrypto")
      endif()
    elseif(item IN_LIST STORE_TARGETS AND NOT target STREQUAL "moon_browsers" AND NOT target IN_LIST STORE_FIXTURES)
      list(APPEND failures "${target} links ${item}: only the browsers' library reads their stores")
    endif()
    if(item STREQUAL JSON_TARGET AND NOT target IN_LIST JSON_LIBRARIES)
      list(APPEND failures "${target} links ${item}: only the handoff and the browsers' library read JSON")
    endif()
    if(DEFINED LAYER_${target} AND DEFINED LAYER_${item} AND NOT LAYER_${item} LESS LAYER_${target})
      list(APPEND failures "${target} links ${item}, which is not below it")
    endif()
  endforeach()
  # Linked PRIVATE, a library reaches its users' link as $<LINK_ONLY:...>, never their compiles.
  foreach(item IN LISTS HANDED_${target})
    if(item MATCHES "${QT_PATTERN}" OR item STREQUAL CURL_TARGET OR item IN_LIST STORE_TARGETS
       OR item STREQUAL JSON_TARGET)
      list(APPEND failures "${target} hands ${item} on to whoever links it: link it PRIVATE")
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "The layers are broken:\n  ${text}")
endif()
list(LENGTH MOON_TARGETS count)
message(STATUS "Layers hold over ${count} targets")
