# A throw-away CA and a server certificate for 127.0.0.1/localhost, made when the build is
# configured so that no committed key can expire. Tests and the demo trust only this CA.
function(pelwinter_make_test_certificates dir)
    if(EXISTS ${dir}/ca.pem AND EXISTS ${dir}/server.pem AND EXISTS ${dir}/server.key)
        return()
    endif()
    find_program(OPENSSL openssl REQUIRED)
    file(MAKE_DIRECTORY ${dir})
    file(WRITE ${dir}/server.ext "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    execute_process(COMMAND ${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Pelwinter Test CA"
                            -keyout ca.key -out ca.pem
                    WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
    execute_process(COMMAND ${OPENSSL} req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr
                    WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
    execute_process(COMMAND ${OPENSSL} x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650
                            -extfile server.ext -out server.pem
                    WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
    # A second, unrelated CA signs a certificate that the launcher must refuse.
    execute_process(COMMAND ${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Unknown CA"
                            -keyout rogue-ca.key -out rogue-ca.pem
                    WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
    execute_process(COMMAND ${OPENSSL} x509 -req -in server.csr -CA rogue-ca.pem -CAkey rogue-ca.key -CAcreateserial
                            -days 3650 -extfile server.ext -out rogue-server.pem
                    WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
endfunction()
