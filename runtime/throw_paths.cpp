// The C++ runtime's failure paths, kept small. Linked statically, libstdc++ would bring
// along a demangler for its terminate message (46 KB) and, for the std::string errors
// this module can never meet, the whole family of standard exception classes with a
// second string implementation (50 KB). Defining these functions here keeps those
// archive members out of qmhook.dll.
#include <cstdlib>
#include <new>

namespace __gnu_cxx {

// Nothing escapes this module as an exception, so terminate means a fault: end without
// printing.
void __verbose_terminate_handler()
{
    std::abort();
}

} // namespace __gnu_cxx

namespace std {

// The only std::string that grows in here is readValue's copy of at most 1024 bytes. Any
// std::string failure reads as a text the module cannot hold: bad_alloc, which readValue
// turns into false.
void __throw_bad_alloc()
{
    throw bad_alloc();
}

void __throw_length_error(const char*)
{
    throw bad_alloc();
}

void __throw_logic_error(const char*)
{
    throw bad_alloc();
}

void __throw_out_of_range_fmt(const char*, ...)
{
    throw bad_alloc();
}

} // namespace std

namespace __gnu_cxx {
void __freeres();
}

namespace {

// The runtime allocates an emergency pool for exceptions when the module starts and never
// releases it: every load and unload of the DLL would cost the host 18 KB.
struct EmergencyPoolRelease {
    ~EmergencyPoolRelease() { __gnu_cxx::__freeres(); }
} emergencyPoolRelease;

} // namespace
