# Benchmark of whole scans over the in-memory registry, and a quick run of it as a test.
find_package(benchmark REQUIRED)

# The benchmark compiles its own optimised copy of the frame, the rules and the stand-in, so that
# it times optimised code whatever the build type of the unit tests.
set(scan_benchmark_sources)
foreach(library scanframe barescan_rule namescan_rule memory_registry platform_stand_in)
    get_target_property(library_sources ${library} SOURCES)
    list(APPEND scan_benchmark_sources ${library_sources})
endforeach()

add_executable(scan_benchmark
    bench/scan_benchmark.cpp
    bench/benchmark_registry.cpp
    bench/reads_only_rules.cpp
    ${scan_benchmark_sources})
target_include_directories(scan_benchmark PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(scan_benchmark PRIVATE -O2)
target_link_libraries(scan_benchmark PRIVATE benchmark::benchmark OpenSSL::Crypto)

# The 10,000-class cases once each, so that the benchmark keeps building and running.
add_test(NAME scan_benchmark_smoke COMMAND scan_benchmark --smoke)
set_tests_properties(scan_benchmark_smoke PROPERTIES TIMEOUT 60)
