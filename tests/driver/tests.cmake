set(RCDATA_DIR ${TEST_DIR}/fixtures/rcdata)
set(RCDATA_FORMS empty odd no_final_zero inner_zero single_zero)
set(rcdata_files "")
foreach(form ${RCDATA_FORMS})
  list(APPEND rcdata_files ${RCDATA_DIR}/${form}.bin)
endforeach()
add_custom_command(
  OUTPUT ${rcdata_files}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/driver/make_rcdata_fixtures.py ${RCDATA_DIR}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/driver/make_rcdata_fixtures.py)
# Only the configuration is read from these: they carry no payload.
foreach(form ${RCDATA_FORMS})
  add_test_installer(rcdata_${form} ARGS --allow-incomplete --rcdata1 ${RCDATA_DIR}/${form}.bin DEPENDS ${RCDATA_DIR}/${form}.bin)
endforeach()
add_test_installer(rcdata_version ARGS --allow-incomplete --previous-version 1.2.3)

add_unit_tests(driver LOCKS registry DEPENDS stub_exe test_installers)
