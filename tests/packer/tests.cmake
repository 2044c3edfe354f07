# The packer: its own behaviour (make_installer_test.py, on this side), and a signed, branded
# installer built at build time that packer_tests.exe checks with Windows' own readers and runs.
# The signing certificate and key are made at build time, never kept in the tree.
set(PACKER_FIXTURES ${TEST_DIR}/fixtures/packer)
set(packer_fixture_files ${PACKER_FIXTURES}/product.ico ${PACKER_FIXTURES}/signer.crt
    ${PACKER_FIXTURES}/signer.key)
add_custom_command(
  OUTPUT ${packer_fixture_files}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/packer/packer_fixtures.py
          ${PACKER_FIXTURES}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packer/packer_fixtures.py)

set(PACKER_ARCHIVE ${CMAKE_BINARY_DIR}/demo/demo.7z)
set(PACKER_PRODUCT --archive ${PACKER_ARCHIVE} --setup $<TARGET_FILE:fake_setup>)
set(PACKER_DEPENDS ${packer_fixture_files} fake_setup demo_archive ${PACKER_ARCHIVE})
add_test_installer(packer_signed ARGS ${PACKER_PRODUCT}
                   --product-name "Kestrel Démo Studio" --product-version 4.2.1
                   --company "Kestrel Works" --icon ${PACKER_FIXTURES}/product.ico
                   --sign-cert ${PACKER_FIXTURES}/signer.crt
                   --sign-key ${PACKER_FIXTURES}/signer.key
                   DEPENDS ${PACKER_DEPENDS})
add_test_installer(packer_unsigned ARGS ${PACKER_PRODUCT} DEPENDS ${PACKER_DEPENDS})
# Names beyond ASCII, typed in lower case as a user would, and one of the longest length the
# packer takes, for upper_case_test.cc to look up.
string(REPEAT a 32766 longest_name)
add_test_installer(packer_names ARGS ${PACKER_PRODUCT}
                   --resource dönnées ${longest_name} ${PACKER_ARCHIVE}
                   --resource dönnées ÿé日本 ${PACKER_ARCHIVE}
                   --resource dönnées ᾀ-iota ${PACKER_ARCHIVE}
                   --resource dönnées µ-micro ${PACKER_ARCHIVE}
                   --resource dönnées ǅ-ı ${PACKER_ARCHIVE}
                   --resource dönnées ᾳῃῳ ${PACKER_ARCHIVE}
                   --resource dönnées архив.7z ${PACKER_ARCHIVE}
                   DEPENDS fake_setup demo_archive ${PACKER_ARCHIVE})

# Only test_installers builds the installers, so that the fixture rule runs once: two runs in
# parallel would make two key pairs, and the certificate of one with the key of the other.
add_unit_tests(packer LOCKS registry DEPENDS fake_setup demo_archive test_installers)
target_link_libraries(packer_tests PRIVATE wintrust version)
# upper_case_test.cc holds the packer's own upper case against the system's.
target_sources(packer_tests PRIVATE ${CMAKE_SOURCE_DIR}/packer/text.cc)
target_include_directories(packer_tests PRIVATE ${CMAKE_SOURCE_DIR}/packer)

# The shape of packed installers as Windows reads it: resource layout, checksum, version block.
foreach(installer packer_unsigned payload_mixed_case)
  add_test(NAME packed_image_${installer}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/pe/check_stub.py --payload
           ${INSTALLER_DIR}/${installer}.exe)
endforeach()

add_test(NAME packer_script
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/packer/make_installer_test.py)
set_tests_properties(packer_script PROPERTIES TIMEOUT 900
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR}")

# The setup cabinet read back by cabinet.dll (through the stub's ExpandCabinet), gcab and
# cabextract.
add_test_program(expand_cabinet ${CMAKE_CURRENT_SOURCE_DIR}/packer/expand_cabinet.cc
                 $<TARGET_OBJECTS:stub_core>)
target_link_options(expand_cabinet PRIVATE -municode)
target_link_libraries(expand_cabinet PRIVATE -ladvapi32 -lshell32)
add_test(NAME packer_cabinet_readers
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/packer/cabinet_readers_test.py)
set_tests_properties(packer_cabinet_readers PROPERTIES TIMEOUT 300
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR}")

# The release packages, made by scripts/package into the test's scratch folder and used from
# there: the .deb's program with an empty PATH, the zip's under Wine.
add_test(NAME packer_packages
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/packer/package_test.py)
set_tests_properties(packer_packages PROPERTIES TIMEOUT 600
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR}")

# inspect, verify and extract on installers of every kind, and the line printed after packing.
add_test(NAME packer_reading_commands
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/packer/reading_commands_test.py)
set_tests_properties(packer_reading_commands PROPERTIES TIMEOUT 300
                     ENVIRONMENT "STUB_BUILD_DIR=${CMAKE_BINARY_DIR}")
