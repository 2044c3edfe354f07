# Whole installers, made by the packer around the demo product's real 7z archive and the test
# setup program (in a cabinet, or stored as it is), started as processes by the e2e tests.
set(E2E_ARCHIVE ${CMAKE_BINARY_DIR}/demo/demo.7z)
set(E2E_PATCH ${CMAKE_CURRENT_SOURCE_DIR}/e2e/setup.patch)
set(E2E_SETUP $<TARGET_FILE:fake_setup>)
set(E2E_DEPENDS fake_setup demo_archive ${E2E_ARCHIVE})

add_test_installer(e2e_normal ARGS --archive ${E2E_ARCHIVE} --setup ${E2E_SETUP}
                   DEPENDS ${E2E_DEPENDS})
add_test_installer(e2e_version ARGS --archive ${E2E_ARCHIVE} --setup ${E2E_SETUP}
                   --previous-version 1.2.3 DEPENDS ${E2E_DEPENDS})
add_test_installer(e2e_archive_bl ARGS --resource BL TAMREL.PACKED.7Z ${E2E_ARCHIVE}
                   --setup ${E2E_SETUP} DEPENDS ${E2E_DEPENDS})
add_test_installer(e2e_archive_bn ARGS --resource BN TAMREL.PACKED.7Z ${E2E_ARCHIVE}
                   --resource BN SETUP.EXE ${E2E_SETUP} DEPENDS ${E2E_DEPENDS})
add_test_installer(e2e_patch ARGS --archive ${E2E_ARCHIVE} --resource B7 SETUP.PATCH ${E2E_PATCH}
                   DEPENDS ${E2E_DEPENDS} ${E2E_PATCH})
add_test_installer(e2e_patch_version ARGS --archive ${E2E_ARCHIVE}
                   --resource B7 SETUP.PATCH ${E2E_PATCH} --previous-version 2.0
                   DEPENDS ${E2E_DEPENDS} ${E2E_PATCH})


# Payloads holding an empty resource, which ends the scan of its type where it stands: an empty
# archive before the real one, an empty resource ahead of everything in B7, an empty setup program
# in BN, and an empty resource after the setup program in BL. Each run is held to what the
# packer's reader predicts of it.
set(E2E_EMPTY ${CMAKE_BINARY_DIR}/tests/fixtures/e2e/empty.bin)
add_custom_command(OUTPUT ${E2E_EMPTY}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/tests/fixtures/e2e
                   COMMAND ${CMAKE_COMMAND} -E touch ${E2E_EMPTY})
set(E2E_EMPTY_DEPENDS DEPENDS ${E2E_DEPENDS} ${E2E_EMPTY})
add_test_installer(e2e_empty_archive_first PREDICT ARGS --allow-incomplete --archive ${E2E_ARCHIVE}
                   --setup ${E2E_SETUP} --resource B7 TAMREL.EMPTY ${E2E_EMPTY} ${E2E_EMPTY_DEPENDS})
add_test_installer(e2e_empty_b7_first PREDICT ARGS --allow-incomplete --archive ${E2E_ARCHIVE}
                   --setup ${E2E_SETUP} --resource B7 A.EMPTY ${E2E_EMPTY} ${E2E_EMPTY_DEPENDS})
add_test_installer(e2e_empty_bn_setup PREDICT ARGS --allow-incomplete --archive ${E2E_ARCHIVE}
                   --resource BN SETUP.EXE ${E2E_EMPTY} ${E2E_EMPTY_DEPENDS})
add_test_installer(e2e_empty_after_setup PREDICT ARGS --archive ${E2E_ARCHIVE} --setup ${E2E_SETUP}
                   --resource BL ZZ.EMPTY ${E2E_EMPTY} ${E2E_EMPTY_DEPENDS})

add_unit_tests(e2e LOCKS registry DEPENDS fake_setup test_installers demo_archive)
