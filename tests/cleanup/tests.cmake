add_test_program(hold_file cleanup/hold_file.cc)
add_unit_tests(cleanup LOCKS registry DEPENDS stub_exe hold_file)

# The output file's disk-full cases need a volume that really fills: a small tmpfs mapped as a
# Wine drive for the length of one run.
add_test(NAME output_file_small_drive
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cleanup/small_drive.sh ${TEST_DIR}/payload_tests.exe
                 --gtest_brief=1 --gtest_filter=OutputFileOnSmallDrive.*:WriteResourceToFile.*
         WORKING_DIRECTORY ${TEST_DIR})
set_tests_properties(output_file_small_drive PROPERTIES TIMEOUT 300
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR}")
