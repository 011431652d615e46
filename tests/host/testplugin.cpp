// A library for the test host to load and keep loaded: on Windows a loaded DLL
// cannot be overwritten or deleted, only renamed, which is what an update must
// cope with while the host runs.

#if defined(_WIN32)
#define TESTPLUGIN_EXPORT __declspec(dllexport)
#else
#define TESTPLUGIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TESTPLUGIN_EXPORT int testPluginVersion()
{
    return 1;
}
