# The public keys an updater takes signed releases from, built into it.
# korvanth_release_keys(HEADER KEY...) checks each KEY (a PEM public key) and
# writes HEADER, which defines ReleaseKeys and ReleaseKeyCount (see
# src/app/signed_manifest.h); with no KEY the updater takes any manifest, as
# an updater built without keys always has. openssl does the reading: what
# the updater's CryptoAPI imports is a PUBLICKEYBLOB, and the key id is the
# SHA-256 of the key's DER form, as korvanth-publish computes it.
function(korvanth_release_keys header)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/release-keys.d)
  file(MAKE_DIRECTORY ${work})
  set(arrays "")
  set(entries "")
  set(ids "")
  set(count 0)
  foreach(key IN LISTS ARGN)
    if(NOT EXISTS "${key}")
      message(FATAL_ERROR "release key ${key}: no such file")
    endif()
    # A key replaced under the same name is read again.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key}")
    file(READ "${key}" pem)
    # Built into the updater, a private key would be in every player's hands.
    if(pem MATCHES "PRIVATE KEY")
      message(FATAL_ERROR
        "release key ${key} is a private key: only its public key goes into the updater, and the "
        "private key itself into no build (make the public key with: openssl pkey -in ${key} -pubout)")
    endif()
    execute_process(COMMAND openssl pkey -pubin -in ${key} -noout -text
                    OUTPUT_VARIABLE text ERROR_VARIABLE error RESULT_VARIABLE failed)
    if(failed)
      string(REGEX REPLACE "\n.*" "" error "${error}")
      message(FATAL_ERROR "release key ${key} is no public key in PEM form (openssl says: ${error})")
    endif()
    if(NOT text MATCHES "Modulus" OR NOT text MATCHES "Public-Key: \\(([0-9]+) bit\\)")
      string(REGEX REPLACE "\n.*" "" kind "${text}")
      message(FATAL_ERROR
        "release key ${key} is not an RSA key (openssl reads it as \"${kind}\"): a release key is RSA of "
        "3072 bits or more (make one with korvanth-publish --generate-key)")
    endif()
    set(bits ${CMAKE_MATCH_1})
    if(bits LESS 3072)
      message(FATAL_ERROR "release key ${key} has ${bits} bits: a release key needs 3072 or more")
    endif()
    set(der ${work}/key${count}.der)
    set(blob ${work}/key${count}.blob)
    execute_process(COMMAND openssl pkey -pubin -in ${key} -outform DER -out ${der} RESULT_VARIABLE failed)
    execute_process(COMMAND openssl rsa -pubin -in ${key} -outform MSBLOB -out ${blob}
                    RESULT_VARIABLE failed2 ERROR_QUIET)
    if(failed OR failed2)
      message(FATAL_ERROR "release key ${key} could not be converted by openssl")
    endif()
    file(SHA256 ${der} id)
    string(SUBSTRING ${id} 0 16 id)
    file(READ ${blob} bytes HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
    string(APPEND arrays "const unsigned char ReleaseKey${count}[] = {${bytes}};\n")
    string(APPEND entries "    {\"${id}\", ReleaseKey${count}, sizeof(ReleaseKey${count})},\n")
    string(APPEND ids "${id} ")
    math(EXPR count "${count} + 1")
  endforeach()
  # What korvanth-publish reads of a built updater (--key-id, --updater):
  # the keys it takes and the server it goes to. An updater built without
  # keys carries none of it.
  set(identity "")
  if(count GREATER 0)
    string(STRIP "${ids}" ids)
    set(identity "extern const char UpdaterIdentity[];\nconst char UpdaterIdentity[] = \"KORVANTH-UPDATER keys=${ids}; server=${KORVANTH_DEFAULT_BASE_URL};\";\n")
  endif()
  file(CONFIGURE OUTPUT ${header} CONTENT
"// Made when configuring, from the release keys given: the public keys whose
// signed releases this updater takes. With none, it takes any manifest.
#pragma once

#include <cstddef>

#include \"signed_manifest.h\"

@arrays@
const ReleaseKey ReleaseKeys[] = {
@entries@    {\"\", nullptr, 0},
};
const std::size_t ReleaseKeyCount = @count@;
@identity@" @ONLY)
endfunction()
