#include "admin/rotate_key.h"

#include <iostream>

namespace velka::admin {

int runRotateKey(const AdminContext & /*ctx*/) {
    std::cerr << "rotate-key: not built yet\n";
    return EXIT_FAILED;
}

} // namespace velka::admin
