// Sorvane Messenger: the program's entry.
#include "startup.h"

int main(int argc, char* argv[]) {
    return sorvane::app::runMessenger(argc, argv);
}
