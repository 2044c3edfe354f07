# The platform table (docs/platform.md) against the built stub's calls and the test sources, the
# checker's own tests, and the tests of the platform behaviour the table relies on.
set(PLATFORM_CHECKER ${CMAKE_CURRENT_SOURCE_DIR}/platform/check_platform_table.py)
add_test(NAME platform_table
         COMMAND ${Python3_EXECUTABLE} ${PLATFORM_CHECKER} ${CMAKE_BINARY_DIR}/stub.exe
                 ${CMAKE_SOURCE_DIR}/docs/platform.md ${CMAKE_CURRENT_SOURCE_DIR}
                 --include-dir ${CMAKE_FIND_ROOT_PATH}/include)
add_test(NAME platform_table_checker
         COMMAND ${Python3_EXECUTABLE}
                 ${CMAKE_CURRENT_SOURCE_DIR}/platform/check_platform_table_test.py
                 ${CMAKE_BINARY_DIR}/stub.exe)

# An image with named and integer resources in the same types, for the enumeration order.
set(PLATFORM_RESOURCES ${CMAKE_BINARY_DIR}/platform/resource_image_res.o)
add_custom_command(
  OUTPUT ${PLATFORM_RESOURCES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/platform
  COMMAND ${CMAKE_RC_COMPILER} ${CMAKE_CURRENT_SOURCE_DIR}/platform/resource_image.rc -O coff
          -o ${PLATFORM_RESOURCES}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/platform/resource_image.rc)
add_test_program(platform_resource_image ${CMAKE_CURRENT_SOURCE_DIR}/platform/resource_image.cc
                 ${PLATFORM_RESOURCES})

add_unit_tests(platform LOCKS registry
               DEPENDS stub_exe hold_file fake_setup test_installers platform_resource_image)
