# Cabinets, an archive and plain files for the payload tests, made at build time.
set(PAYLOAD_FIXTURES ${TEST_DIR}/fixtures/payload)
set(PAYLOAD_FIXTURE_NAMES
    setup.bin first.bin second.bin not_cabinet.bin empty.bin small.bin payload.7z
    one.cab renamed.cab two.cab attributes_a1.cab read_only.cab attributes_none.cab
    cut_after_header.cab cut_after_block.cab)
set(payload_fixture_files "")
foreach(name ${PAYLOAD_FIXTURE_NAMES})
  list(APPEND payload_fixture_files ${PAYLOAD_FIXTURES}/${name})
endforeach()
add_custom_command(
  OUTPUT ${payload_fixture_files}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/payload/make_payload_fixtures.py
          ${PAYLOAD_FIXTURES}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/payload/make_payload_fixtures.py)



# Installers with the payload combinations the unpack tests read (their resources only; they are
# loaded as data files, never run).
set(F ${PAYLOAD_FIXTURES})
string(REPEAT "x" 254 pad254)
string(REPEAT "x" 253 pad253)
string(REPEAT "y" 250 pad250)
set(payload_installer_files "")
# Many of these are meant to stop in the stub's own scan, which the packer would refuse.
function(add_payload_installer name)
  add_test_installer(payload_${name} ARGS --allow-incomplete ${ARGN} DEPENDS ${payload_fixture_files})
  set(payload_installer_files ${payload_installer_files} ${INSTALLER_DIR}/payload_${name}.exe
      PARENT_SCOPE)
endfunction()
add_payload_installer(built --archive ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(mixed_case --resource B7 TamRel.Packed.7z ${F}/payload.7z --resource BL SeTuP.Ex_ ${F}/one.cab)
add_payload_installer(bn_setup --archive ${F}/payload.7z --resource BN Setup-Program.bin ${F}/setup.bin)
add_payload_installer(bn_archive --resource BN tamrel.uncompressed ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(patch --archive ${F}/payload.7z --resource B7 setup.patch ${F}/small.bin)
add_payload_installer(unknown_in_b7 --archive ${F}/payload.7z --setup ${F}/setup.bin --resource B7 README ${F}/small.bin)
add_payload_installer(unknown_in_bl --archive ${F}/payload.7z --setup ${F}/setup.bin --resource BL OTHER ${F}/small.bin)
add_payload_installer(unknown_beside_archive --resource BN tamrel.bn ${F}/payload.7z --resource BN zzz ${F}/small.bin)
add_payload_installer(two_archives_b7 --archive ${F}/payload.7z --resource B7 TAMREL.SECOND ${F}/small.bin --setup ${F}/setup.bin)
add_payload_installer(two_archives --archive ${F}/payload.7z --resource BL TAMREL.SECOND ${F}/small.bin --setup ${F}/setup.bin)
add_payload_installer(two_setups --archive ${F}/payload.7z --setup ${F}/setup.bin --resource BN setup.second ${F}/small.bin)
add_payload_installer(name_260 --resource B7 tamrel${pad254} ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(name_259 --resource B7 tamrel${pad253} ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(long_setup_name --archive ${F}/payload.7z --resource BL setup${pad250} ${F}/one.cab)
add_payload_installer(short_names --resource B7 tamrel ${F}/payload.7z --resource BL setup ${F}/one.cab)
add_payload_installer(empty_hides_archive --resource B7 A.EMPTY ${F}/empty.bin --archive ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(empty_then_bn --resource B7 A.EMPTY ${F}/empty.bin --archive ${F}/payload.7z --resource BN TAMREL.BN ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(archive_name_climbs --resource B7 TAMREL\\..\\..\\ESCAPED.7Z ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(setup_name_climbs --archive ${F}/payload.7z --resource BL SETUP/../ESCAPED.EX_ ${F}/one.cab)
add_payload_installer(archive_name_stream --resource B7 TAMREL:STREAM ${F}/payload.7z --setup ${F}/setup.bin)
add_payload_installer(none)
add_payload_installer(archive_only --archive ${F}/payload.7z)
add_payload_installer(bad_cabinet --archive ${F}/payload.7z --resource BL SETUP.EX_ ${F}/not_cabinet.bin)
add_unit_tests(payload DEPENDS test_installers)

# The output file's disk-full cases need a volume that really fills: a small tmpfs mapped as a
# Wine drive for the length of one run.
add_test(NAME output_file_small_drive
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/with_small_drive.sh 8m ${TEST_DIR}/payload_tests.exe
                 --gtest_brief=1 --gtest_filter=OutputFileOnSmallDrive.*:WriteResourceToFile.*
         WORKING_DIRECTORY ${TEST_DIR})
set_tests_properties(output_file_small_drive PROPERTIES TIMEOUT 300
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR}")
