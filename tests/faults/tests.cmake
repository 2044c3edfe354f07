# The fault matrix and the security cases: whole installers, built by the packer around the test
# setup programs and the payload pieces below, started as processes by faults_tests.exe.
set(FAULT_FIXTURES ${TEST_DIR}/fixtures/faults)
set(fault_fixture_files "")
foreach(name small_archive.bin big_archive.bin big_setup.bin zero_setup.bin)
  list(APPEND fault_fixture_files ${FAULT_FIXTURES}/${name})
endforeach()
add_custom_command(
  OUTPUT ${fault_fixture_files}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/faults/make_fault_fixtures.py
          ${FAULT_FIXTURES}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/faults/make_fault_fixtures.py
          ${CMAKE_CURRENT_SOURCE_DIR}/packer/packer_fixtures.py)

add_test_program(fault_setup ${CMAKE_CURRENT_SOURCE_DIR}/faults/fault_setup.cc)
target_link_libraries(fault_setup PRIVATE shell32)

# Planted under the names of system libraries; nothing of the runtime, so that it loads anywhere.
add_library(planted_dll SHARED ${CMAKE_CURRENT_SOURCE_DIR}/faults/planted_dll.cc)
target_compile_options(planted_dll PRIVATE -O1 -Wall -Wextra)
target_link_options(planted_dll PRIVATE -nostdlib -Wl,--entry,PlantedDllMain)
target_link_libraries(planted_dll PRIVATE kernel32)
set_target_properties(planted_dll PROPERTIES PREFIX "" OUTPUT_NAME planted RUNTIME_OUTPUT_DIRECTORY
                      ${TEST_DIR})

set(FF ${FAULT_FIXTURES})
set(FAULT_SMALL ${FF}/small_archive.bin)
set(fault_installer_files "")
function(add_fault_installer name)
  add_test_installer(faults_${name} ARGS ${ARGN}
                     DEPENDS ${fault_fixture_files} fake_setup fault_setup
                             ${CMAKE_CURRENT_SOURCE_DIR}/e2e/setup.patch)
  set(fault_installer_files ${fault_installer_files} ${INSTALLER_DIR}/faults_${name}.exe
      PARENT_SCOPE)
endfunction()
add_fault_installer(normal --archive ${FAULT_SMALL} --setup $<TARGET_FILE:fake_setup>)
add_fault_installer(acting --archive ${FAULT_SMALL} --setup $<TARGET_FILE:fault_setup>)
add_fault_installer(patch --archive ${FAULT_SMALL}
                    --resource B7 SETUP.PATCH ${CMAKE_CURRENT_SOURCE_DIR}/e2e/setup.patch)
add_fault_installer(unicode_archive --resource B7 TAMREL.архив.7z ${FAULT_SMALL}
                    --setup $<TARGET_FILE:fake_setup>)
add_fault_installer(disk_archive --archive ${FF}/big_archive.bin --setup $<TARGET_FILE:fake_setup>)
add_fault_installer(disk_setup --archive ${FAULT_SMALL} --resource BN SETUP.EXE ${FF}/big_setup.bin)
add_fault_installer(disk_expand --archive ${FAULT_SMALL} --setup ${FF}/zero_setup.bin)

add_unit_tests(faults LOCKS registry
               DEPENDS stub_exe fake_setup fault_setup planted_dll test_installers)

# The disk-full cases need a volume that really fills: an 8 MiB tmpfs mapped as a Wine drive for
# the length of one run. Without it they skip; the writer's own disk-full cases run through the
# seam in tests/payload.
add_test(NAME faults_small_drive
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/with_small_drive.sh 8m
                 ${TEST_DIR}/faults_tests.exe --gtest_brief=1 --gtest_filter=DiskFull.*
         WORKING_DIRECTORY ${TEST_DIR})
set_tests_properties(faults_small_drive PROPERTIES TIMEOUT 300 RESOURCE_LOCK registry
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR}")

# The stub's import table reaches no library that the loader could take from beside it.
add_test(NAME faults_stub_imports
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/faults/check_stub_imports.py
                 ${CMAKE_BINARY_DIR}/stub.exe)
