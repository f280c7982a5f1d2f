# Part of `cmake --install` and of cpack: the browsers' system-wide manifests, naming the program
# where the installed system finds it. That is the install's prefix without DESTDIR, which only
# stages the files (cpack stages the Debian package's /usr so); file(INSTALL) puts DESTDIR in
# front of the manifests' folders itself.
# In: MOON_HOST_TEMPLATE (host.json.in), MOON_HOST_STAGE (a folder of the build for the manifests)
# and MOON_BINDIR (the program's folder under the prefix, or absolute).
string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")
set(MOON_HOST_PROGRAM "${prefix}/${MOON_BINDIR}/moonfetch")
if(MOON_BINDIR MATCHES "^/")
  set(MOON_HOST_PROGRAM "${MOON_BINDIR}/moonfetch")
endif()
if(NOT prefix MATCHES "^(/usr|/usr/local|/opt/.+)$")
  message(STATUS "No system-wide browser hosts for the prefix ${prefix}: "
                 "each person runs `${MOON_HOST_PROGRAM} --install-browser-hosts` once")
  return()
endif()

set(MOON_HOST_ALLOWED allowed_extensions)
set(MOON_HOST_EXTENSION moonfetch@larkvale)
configure_file("${MOON_HOST_TEMPLATE}" "${MOON_HOST_STAGE}/firefox/com.larkvale.moonfetch.json" @ONLY)
set(MOON_HOST_ALLOWED allowed_origins)
set(MOON_HOST_EXTENSION chrome-extension://dkpkgdgieogmaoknbjacokdadlghjbdb/)
configure_file("${MOON_HOST_TEMPLATE}" "${MOON_HOST_STAGE}/chromium/com.larkvale.moonfetch.json" @ONLY)

file(INSTALL DESTINATION /usr/lib/mozilla/native-messaging-hosts TYPE FILE
     FILES "${MOON_HOST_STAGE}/firefox/com.larkvale.moonfetch.json")
foreach(folder /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts
               /etc/opt/edge/native-messaging-hosts)
  file(INSTALL DESTINATION ${folder} TYPE FILE FILES "${MOON_HOST_STAGE}/chromium/com.larkvale.moonfetch.json")
endforeach()
