# What the Windows build takes from the prefix that scripts/build-windows-deps fills: Boost
# (Asio) and spdlog with fmt as headers only, and static libraries for the rest. Each DLL
# and program carries its own C/C++ runtime and winpthreads, so a host needs nothing from
# MinGW beside the DLLs.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
add_link_options(-static)

find_path(BOOST_HEADERS boost/asio.hpp REQUIRED)
add_library(Boost::system INTERFACE IMPORTED)
target_include_directories(Boost::system INTERFACE ${BOOST_HEADERS})
target_link_libraries(Boost::system INTERFACE ws2_32 mswsock)

find_path(SPDLOG_HEADERS spdlog/spdlog.h REQUIRED)
add_library(spdlog::spdlog INTERFACE IMPORTED)
target_include_directories(spdlog::spdlog INTERFACE ${SPDLOG_HEADERS})
# Log files are opened by their UTF-16 names, so that any folder works.
target_compile_definitions(spdlog::spdlog INTERFACE FMT_HEADER_ONLY SPDLOG_WCHAR_FILENAMES)

# DLLs and programs in one folder, as they lie beside a host's executable.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
include_directories(SYSTEM ${TALKHUB_WINDOWS_PREFIX}/include)

# Windows programs built here run under Wine, in a prefix inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tests/windows/under-wine ${CMAKE_BINARY_DIR}/wine)
