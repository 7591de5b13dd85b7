# Reads KESTREL_TRUSTED_CA into KESTREL_TRUSTED_CA_PEM. A file that holds no PEM certificate
# (DER, a key, a typo'd path) stops the configuration: built in, it would trust nothing, or
# silently let the system's store back in.
#   cmake -DKESTREL_TRUSTED_CA=<file> -P cmake/TrustedCa.cmake   checks one file alone.
set(KESTREL_TRUSTED_CA_PEM "")
if(KESTREL_TRUSTED_CA)
  file(STRINGS "${KESTREL_TRUSTED_CA}" _pem_begin REGEX "^-----BEGIN CERTIFICATE-----")
  if(NOT _pem_begin)
    message(FATAL_ERROR "KESTREL_TRUSTED_CA (${KESTREL_TRUSTED_CA}) holds no PEM certificate "
                        "(-----BEGIN CERTIFICATE-----); convert a DER file with: openssl x509 -inform der")
  endif()
  file(READ "${KESTREL_TRUSTED_CA}" KESTREL_TRUSTED_CA_PEM)
endif()
