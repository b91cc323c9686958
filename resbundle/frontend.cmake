# resbundle's front end: the control channel message, the application
# delegate and the program itself, with their tests and fuzz target.
find_package(nlohmann_json 3 REQUIRED)

add_library(resbundle_ipc STATIC ${CMAKE_CURRENT_LIST_DIR}/KXIPCMessage.cc)
target_include_directories(resbundle_ipc PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(resbundle_ipc PUBLIC nlohmann_json::nlohmann_json)

add_executable(test_ipc_message
               ${CMAKE_CURRENT_LIST_DIR}/tests/test_ipc_message.cc)
target_link_libraries(test_ipc_message PRIVATE resbundle_ipc GTest::gtest_main)
gtest_discover_tests(test_ipc_message)

add_fuzz_target(fuzz_ipc_message
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_ipc_message.cc
  LIBS resbundle_ipc
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus/fuzz_ipc_message)
