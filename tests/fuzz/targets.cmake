# The fuzz targets, each with the label of its replay test ("codec":
# single-threaded, skipped under ThreadSanitizer) and the libraries it links.
# Read by the fuzzer configuration (tests/fuzz/CMakeLists.txt) and by the
# ordinary build, which replays each target's seeds (tests/CMakeLists.txt).
set(VALTD_FUZZ_TARGETS xmlrpc_fuzzer framing_fuzzer factory_fuzzer policy_fuzzer exlink_fuzzer
    sip_fuzzer)
set(VALTD_FUZZ_xmlrpc_fuzzer codec valt_xmlrpc)
set(VALTD_FUZZ_factory_fuzzer codec valt_xmlrpc)
set(VALTD_FUZZ_sip_fuzzer codec valt_xmlrpc)
set(VALTD_FUZZ_exlink_fuzzer codec valt_exchange)
set(VALTD_FUZZ_framing_fuzzer threaded valt_server)
set(VALTD_FUZZ_policy_fuzzer threaded valt_policy)
