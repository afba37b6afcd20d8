# qnd_check_public_key(FILE): fails the configure step unless FILE imports as
# an RSA public key the way the updater imports its built-in key. The check is
# a small program built against the same libtomcrypt and run here, so a key
# the updater would refuse at run time never reaches a build.
function(qnd_check_public_key file)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "QND_PUBLIC_KEY_FILE (${file}) is not a file")
  endif()
  file(SHA256 "${file}" key_hash)
  # Run again whenever the key's bytes change, not only its name.
  if(NOT QND_PUBLIC_KEY_CHECKED STREQUAL "${key_hash}")
    try_run(key_run key_compiled
      "${CMAKE_BINARY_DIR}/qnd_public_key_check"
      "${PROJECT_SOURCE_DIR}/cmake/checkpublickey.c"
      COMPILE_DEFINITIONS -DLTM_DESC
      LINK_LIBRARIES PkgConfig::TOMCRYPT PkgConfig::TOMMATH
      COMPILE_OUTPUT_VARIABLE compile_output
      RUN_OUTPUT_VARIABLE run_output
      ARGS "${file}")
    if(NOT key_compiled)
      message(FATAL_ERROR "Cannot build the public key check against libtomcrypt:\n${compile_output}")
    endif()
    if(NOT key_run EQUAL 0)
      message(FATAL_ERROR "QND_PUBLIC_KEY_FILE (${file}) ${run_output}. The updater needs an RSA public key in "
        "DER form, for example: openssl rsa -in KEY.pem -RSAPublicKey_out -outform DER -out public.der")
    endif()
    set(QND_PUBLIC_KEY_CHECKED "${key_hash}" CACHE INTERNAL "SHA-256 of the last public key that passed the check")
    set(QND_PUBLIC_KEY_BITS "${run_output}" CACHE INTERNAL "Modulus size of that key")
  endif()
  file(SHA256 "${PROJECT_SOURCE_DIR}/tests/fixtures/keys/test_public.der" test_hash)
  if(key_hash STREQUAL test_hash)
    message(WARNING "The updater is built with the TEST public key (tests/fixtures/keys/test_public.der), whose "
      "private half is public. Such a build trusts anything signed with it: give a release build your own key "
      "with -DQND_PUBLIC_KEY_FILE=/path/to/public.der.")
  else()
    message(STATUS "Updater public key: ${file} (RSA, ${QND_PUBLIC_KEY_BITS} bits)")
  endif()
endfunction()
