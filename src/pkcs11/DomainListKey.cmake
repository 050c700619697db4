# Turns the PEM RSA public key named by P11BRIDGE_DOMAIN_KEY into the Base64 of its DER PKCS#1
# RSAPublicKey, the form the host verifies domain lists with, and writes it into a source file.

set(P11BRIDGE_DEVELOPMENT_DOMAIN_KEY "${PROJECT_SOURCE_DIR}/tests/data/domain-list-key.pub.pem")
set(P11BRIDGE_DOMAIN_KEY "${P11BRIDGE_DEVELOPMENT_DOMAIN_KEY}" CACHE FILEPATH
    "PEM RSA public key whose private half signs the domain lists (the default is a development key)")

get_filename_component(_key "${P11BRIDGE_DOMAIN_KEY}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
if(NOT EXISTS "${_key}")
  message(FATAL_ERROR "P11BRIDGE_DOMAIN_KEY: no such file: ${_key}")
endif()
# A new key file content reconfigures the build.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_key}")

find_program(P11BRIDGE_OPENSSL openssl REQUIRED)

# Both PEM forms are accepted: SubjectPublicKeyInfo ("PUBLIC KEY") and PKCS#1 ("RSA PUBLIC KEY").
set(_key_base64 "")
foreach(_form -pubin -RSAPublicKey_in)
  execute_process(
    COMMAND "${P11BRIDGE_OPENSSL}" rsa ${_form} -in "${_key}" -RSAPublicKey_out -outform DER
    COMMAND "${P11BRIDGE_OPENSSL}" base64 -A
    RESULTS_VARIABLE _results
    OUTPUT_VARIABLE _out
    ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_results STREQUAL "0;0" AND NOT _out STREQUAL "")
    set(_key_base64 "${_out}")
    set(_key_form ${_form})
    break()
  endif()
endforeach()
if(_key_base64 STREQUAL "")
  message(FATAL_ERROR "P11BRIDGE_DOMAIN_KEY: ${_key} is not a PEM RSA public key")
endif()

execute_process(
  COMMAND "${P11BRIDGE_OPENSSL}" rsa ${_key_form} -in "${_key}" -text -noout
  OUTPUT_VARIABLE _text
  ERROR_QUIET)
if(NOT _text MATCHES "\\(([0-9]+) bit\\)")
  message(FATAL_ERROR "P11BRIDGE_DOMAIN_KEY: cannot read the key size of ${_key}")
endif()
set(_bits ${CMAKE_MATCH_1})
if(_bits LESS 1024)
  message(FATAL_ERROR "P11BRIDGE_DOMAIN_KEY: ${_bits}-bit key; at least 1024 bits are needed")
endif()

if(_key STREQUAL P11BRIDGE_DEVELOPMENT_DOMAIN_KEY)
  set(_notice "DEVELOPMENT key: its private half is public; build a deployment with your own key")
  if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
    message(WARNING "Domain-list key: ${_notice}")
  else()
    message(STATUS "Domain-list key: ${_notice}")
  endif()
else()
  message(STATUS "Domain-list key: ${_key} (${_bits} bits)")
endif()

set(P11BRIDGE_DOMAIN_KEY_BASE64 "${_key_base64}")
get_filename_component(P11BRIDGE_DOMAIN_KEY_NAME "${_key}" NAME)
configure_file(${CMAKE_CURRENT_LIST_DIR}/DomainListKey.cpp.in
               ${CMAKE_CURRENT_BINARY_DIR}/DomainListKey.cpp @ONLY)
