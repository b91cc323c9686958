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
