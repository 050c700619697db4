# Runs at install time (from browser/CMakeLists.txt): links the PKCS#11 module
# beside the installed host and writes the native-messaging manifests. DESTDIR
# moves where files land, never the paths written inside them.

set(_root "$ENV{DESTDIR}")
set(_host "${P11BRIDGE_HOST_DIR}/p11bridge")

# Within one top-level folder (/usr) the link is relative, as Debian asks of
# packages; it resolves to the same module once installed.
set(_module "${P11BRIDGE_PKCS11_MODULE}")
string(REGEX MATCH "^/[^/]+/" _module_top "${_module}")
string(REGEX MATCH "^/[^/]+/" _host_top "${P11BRIDGE_HOST_DIR}/")
if(_module_top AND _module_top STREQUAL _host_top)
  file(RELATIVE_PATH _module "${P11BRIDGE_HOST_DIR}" "${_module}")
endif()

file(MAKE_DIRECTORY "${_root}${P11BRIDGE_HOST_DIR}")
message(STATUS "Installing: ${_root}${P11BRIDGE_HOST_DIR}/p11bridge-pkcs11.so -> ${_module}")
file(CREATE_LINK "${_module}" "${_root}${P11BRIDGE_HOST_DIR}/p11bridge-pkcs11.so" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_root}${P11BRIDGE_HOST_DIR}/p11bridge-pkcs11.so")

if(NOT P11BRIDGE_INSTALL_BROWSER_MANIFESTS)
  return()
endif()

set(_origins "")
foreach(_id IN LISTS P11BRIDGE_CHROME_EXTENSION_IDS)
  if(_origins)
    string(APPEND _origins ", ")
  endif()
  string(APPEND _origins "\"chrome-extension://${_id}/\"")
endforeach()
set(_extensions "")
foreach(_id IN LISTS P11BRIDGE_FIREFOX_EXTENSION_IDS)
  if(_extensions)
    string(APPEND _extensions ", ")
  endif()
  string(APPEND _extensions "\"${_id}\"")
endforeach()

string(REPLACE "\\" "\\\\" _host_json "${_host}")
string(REPLACE "\"" "\\\"" _host_json "${_host_json}")

foreach(_format chromium firefox)
  file(READ "${P11BRIDGE_TEMPLATES}/${_format}.json.in" _text)
  string(REPLACE "@HOST_PATH@" "${_host_json}" _text "${_text}")
  string(REPLACE "@ALLOWED_ORIGINS@" "${_origins}" _text "${_text}")
  string(REPLACE "@ALLOWED_EXTENSIONS@" "${_extensions}" _text "${_text}")
  if(_format STREQUAL "chromium")
    set(_dirs ${P11BRIDGE_CHROMIUM_MANIFEST_DIRS})
  else()
    set(_dirs ${P11BRIDGE_FIREFOX_MANIFEST_DIRS})
  endif()
  foreach(_dir IN LISTS _dirs)
    set(_file "${_root}${_dir}/org.p11bridge.host.json")
    message(STATUS "Installing: ${_file}")
    file(WRITE "${_file}" "${_text}")
    file(CHMOD "${_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_file}")
  endforeach()
endforeach()
