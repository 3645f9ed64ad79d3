# bench_sha1: our SHA-1 and HMAC-SHA-1 beside libcrypto's. Built only where Google Benchmark and
# libcrypto are both found for the host being built for; libcrypto is linked by this benchmark only.
if(CMAKE_CROSSCOMPILING)
  message(STATUS "bench_sha1 not built: cross build")
  return()
endif()
find_package(benchmark QUIET)
find_package(OpenSSL QUIET COMPONENTS Crypto)
if(NOT benchmark_FOUND OR NOT OPENSSL_FOUND)
  message(STATUS
    "bench_sha1 not built: needs Google Benchmark (libbenchmark-dev) and libcrypto (libssl-dev)")
  return()
endif()

add_executable(bench_sha1 ${CMAKE_CURRENT_LIST_DIR}/sha1_bench.cpp)
target_link_libraries(bench_sha1 PRIVATE vemrick_library benchmark::benchmark OpenSSL::Crypto)
target_include_directories(bench_sha1 PRIVATE ${PROJECT_SOURCE_DIR}/tests/crypto) # lcg.h
