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

add_library(resbundle_frontend STATIC
            ${CMAKE_CURRENT_LIST_DIR}/KXAppDelegate.cc)
target_link_libraries(resbundle_frontend PUBLIC resbundle_ipc kxpack dispatch)

add_executable(resbundle ${CMAKE_CURRENT_LIST_DIR}/main.cc)
target_link_libraries(resbundle PRIVATE resbundle_frontend)

add_executable(test_frontend_arguments
               ${CMAKE_CURRENT_LIST_DIR}/tests/test_frontend_arguments.cc)
target_link_libraries(test_frontend_arguments
                      PRIVATE resbundle_frontend GTest::gtest_main)
gtest_discover_tests(test_frontend_arguments)

# The program as the host runs it: exit statuses, files left behind, and the
# cancel message on standard input while a job runs.
add_executable(test_frontend_process
               ${CMAKE_CURRENT_LIST_DIR}/tests/test_frontend_process.cc)
target_link_libraries(test_frontend_process PRIVATE GTest::gtest_main)
target_compile_definitions(test_frontend_process PRIVATE
  RESBUNDLE_BINARY="$<TARGET_FILE:resbundle>"
  SAMPLE_BOOK="${PROJECT_SOURCE_DIR}/samples/book")
add_dependencies(test_frontend_process resbundle)
gtest_discover_tests(test_frontend_process PROPERTIES LABELS concurrent)
