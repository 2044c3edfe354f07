# Packed installers away from their preferred base (relocation_test.cc, under Wine, which
# otherwise always grants that base), and their base relocations read against the linked stub's.
add_unit_tests(pe LOCKS registry DEPENDS fake_setup test_installers demo_archive)

foreach(installer e2e_normal e2e_version payload_mixed_case)
  add_test(NAME packed_image_relocations_${installer}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/pe/check_stub.py --payload
           --stub=${CMAKE_BINARY_DIR}/stub.exe ${INSTALLER_DIR}/${installer}.exe)
endforeach()
