# The test setup program: records what the stub started it with and exits as it is told. Also used
# by the end-to-end tests, as the setup program inside their installers.
add_test_program(fake_setup ${CMAKE_CURRENT_SOURCE_DIR}/testing/fake_setup.cc)

add_unit_tests(launch LOCKS registry DEPENDS fake_setup)
