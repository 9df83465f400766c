// Commands not written yet.
#include "admin/commands.h"

#include <iostream>

namespace velka::admin {

namespace {
int notYet(const char *name) {
    std::cerr << name << ": not built yet\n";
    return EXIT_FAILED;
}
} // namespace

int runInit(const AdminContext &) {
    return notYet("init");
}
int runAdd(const AdminContext &) {
    return notYet("add");
}
int runPasswd(const AdminContext &) {
    return notYet("passwd");
}
int runRemove(const AdminContext &) {
    return notYet("remove");
}
int runRename(const AdminContext &) {
    return notYet("rename");
}
int runDomain(const AdminContext &) {
    return notYet("domain");
}
int runList(const AdminContext &) {
    return notYet("list");
}
int runShow(const AdminContext &) {
    return notYet("show");
}
int runVerify(const AdminContext &) {
    return notYet("verify");
}

} // namespace velka::admin
