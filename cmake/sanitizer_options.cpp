// Run-time defaults of the sanitizer build, linked into every program of it,
// so that running a test by hand behaves as it does under CTest.
//
// The end-to-end tests run the programs under umockdev, whose library is
// preloaded ahead of the ASan runtime. The runtime's check that it comes first
// in the library list would refuse to start; the interceptors work either way.
extern "C" {

const char *__asan_default_options()
{
    return "verify_asan_link_order=0:detect_leaks=1:strict_string_checks=1:"
           "detect_stack_use_after_return=1:check_initialization_order=1";
}

const char *__ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

} // extern "C"
