# The layers as the includes show them (cmake -D TOP=<source folder> -P check_includes.cmake):
# every quoted include names its folder from the top, and a folder includes only itself and the
# folders below it. A test folder may include what the folder it tests may, its test support and
# the fixtures of the test folders below it. Every broken rule is reported; any fails.
cmake_minimum_required(VERSION 3.25)

# Folder, then the folders below it that it may include. The longest folder that holds a file is
# its own; a folder of the tree that no row names is a failure, so a new one must take its place.
# The ground floor is split by what it serves: system basics (platform), the settings store
# (store), the internet client (net), the handoff between copies (handoff) and the browsers.
set(RULES
  "diag|"
  "platform|diag"
  "store|platform,diag"
  "net|store,platform,diag"
  "handoff|platform,diag"
  "browsers|platform,diag"
  "window|platform,diag"
  "web|net,browsers,platform,diag"
  "settings|web,net,store,browsers,platform,diag"
  "core|settings,web,net,store,browsers,platform,diag"
  "ui/dialogs|core,settings,web,net,store,browsers,platform,window,diag"
  "ui|ui/dialogs,core,settings,web,net,store,browsers,handoff,platform,window,diag"
  "bench|core,settings,web,net,store,browsers,platform,diag,tests/support"
  "tests/support|"
  "tests/windows|ui,ui/dialogs,core,settings,web,net,store,browsers,handoff,platform,window,diag,tests/support"
  "tests/support/window|window,platform,diag")
set(TESTED diag platform store net handoff browsers window web settings core ui/dialogs ui)
set(TEST_FIXTURES_core tests/core)
set(TEST_FIXTURES_ui/dialogs tests/core;tests/ui)
set(TEST_FIXTURES_ui tests/core)

foreach(rule IN LISTS RULES)
  string(REGEX REPLACE "\\|.*$" "" folder "${rule}")
  string(REGEX REPLACE "^[^|]*\\|" "" allowed "${rule}")
  string(REPLACE "," ";" allowed "${allowed}")
  set(ALLOWED_${folder} ${folder} ${allowed})
  list(APPEND FOLDERS ${folder})
endforeach()
foreach(tested IN LISTS TESTED)
  set(ALLOWED_tests/${tested} tests/${tested} ${ALLOWED_${tested}} ${TEST_FIXTURES_${tested}}
      tests/support tests/support/window)
  list(APPEND FOLDERS tests/${tested})
endforeach()

# The folder among FOLDERS that holds path (a path from the top), or "" when none does.
function(owner path out)
  set(best "")
  foreach(folder IN LISTS FOLDERS)
    string(FIND "${path}" "${folder}/" at)
    string(LENGTH "${folder}" length)
    string(LENGTH "${best}" best_length)
    if(at EQUAL 0 AND length GREATER best_length)
      set(best "${folder}")
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE ${TOP} ${TOP}/*.cpp ${TOP}/*.h)
list(FILTER sources EXCLUDE REGEX "^build/")
set(failures "")
foreach(source IN LISTS sources)
  owner("${source}" folder)
  if(folder STREQUAL "")
    list(APPEND failures "${source} lies in no folder of the layers")
    continue()
  endif()
  file(STRINGS ${TOP}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" included "${line}")
    owner("${included}" target)
    if(NOT EXISTS ${TOP}/${included} OR target STREQUAL "")
      list(APPEND failures "${source} includes \"${included}\": name it from the top folder")
    elseif(NOT target IN_LIST ALLOWED_${folder})
      list(APPEND failures "${source} (${folder}) includes ${included}, which is not below it")
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Includes break the layers:\n  ${text}")
endif()
list(LENGTH sources count)
message(STATUS "Includes keep the layers in ${count} files")
