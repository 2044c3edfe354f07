add_unit_tests(work_dir)
