# Tests of the pack core, included from resbundle/KXPack/CMakeLists.txt.
set(_dir ${CMAKE_CURRENT_LIST_DIR})

add_executable(pack_driver ${_dir}/pack_driver.cc)
target_link_libraries(pack_driver PRIVATE kxpack)

add_executable(test_pack_units
  ${_dir}/test_pack_checksum.cc
  ${_dir}/test_pack_header.cc
  ${_dir}/test_pack_store.cc
  ${_dir}/test_pack_utils.cc
  ${_dir}/test_pack_index.cc
)
target_link_libraries(test_pack_units PRIVATE kxpack GTest::gtest_main)
gtest_discover_tests(test_pack_units DISCOVERY_TIMEOUT 60)

add_executable(test_pack_jobs
  ${_dir}/test_pack_writer.cc
  ${_dir}/test_pack_reader.cc
)
target_link_libraries(test_pack_jobs PRIVATE kxpack GTest::gtest_main)
gtest_discover_tests(test_pack_jobs DISCOVERY_TIMEOUT 60)

add_executable(test_pack_cancel ${_dir}/test_pack_cancel.cc)
target_link_libraries(test_pack_cancel PRIVATE kxpack GTest::gtest_main
                      Threads::Threads)
gtest_discover_tests(test_pack_cancel DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS concurrent)

# Our products checked by the independent reader, and packs it wrote
# restored by the core.
add_test(NAME pack_oracle
         COMMAND ${Python3_EXECUTABLE} ${_dir}/pack_oracle_test.py
                 $<TARGET_FILE:pack_driver> ${_dir}/packoracle.py)
