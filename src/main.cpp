#include "update_syscon.h"

int main(int argc, char **argv) {
    return update_syscon_main(argc, argv);
}
