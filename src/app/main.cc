#include "app/provision.h"

int main(int argc, char** argv) { return provision::runProvision(argc, argv); }
