// The built plug-in loaded as the panel's programs load it: outside Dovecot, with
// immediate binding, which fails on any symbol that only Dovecot provides.
#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

TEST(ModuleLoad, LoadsOutsideDovecotWithImmediateBinding) {
    void *module = dlopen(VELKA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    // The C API is there and works; Dovecot's entry points are there too.
    auto get_path = reinterpret_cast<const char *(*)()>(dlsym(module, "mailAuthDBGetPath"));
    ASSERT_NE(get_path, nullptr);
    EXPECT_STREQ(get_path(), "/var/lib/velka/mail/auth/passwd.db");
    EXPECT_NE(dlsym(module, "authdb_velka_init"), nullptr);
    EXPECT_NE(dlsym(module, "authdb_velka_version"), nullptr);
    dlclose(module);
}

} // namespace
