add_unit_tests(support)
