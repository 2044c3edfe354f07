add_test_program(hold_file cleanup/hold_file.cc)
add_unit_tests(cleanup LOCKS registry DEPENDS stub_exe hold_file)
