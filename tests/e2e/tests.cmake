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

add_unit_tests(e2e LOCKS registry DEPENDS fake_setup test_installers demo_archive)
