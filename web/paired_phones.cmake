# The phones paired once, in their private file: the gateway pairs and checks
# them, Tarnwell forgets them, both through this one writer.
find_package(Qt6 REQUIRED COMPONENTS Core)
add_library(sonvale_paired_phones STATIC
    ${CMAKE_CURRENT_LIST_DIR}/paired_phones.cpp ${CMAKE_CURRENT_LIST_DIR}/paired_phones.h
    ${CMAKE_CURRENT_LIST_DIR}/private_file.cpp ${CMAKE_CURRENT_LIST_DIR}/private_file.h
    ${CMAKE_CURRENT_LIST_DIR}/unique_fd.h)
target_include_directories(sonvale_paired_phones PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(sonvale_paired_phones PUBLIC Qt6::Core)
target_compile_options(sonvale_paired_phones PRIVATE -Wconversion)
