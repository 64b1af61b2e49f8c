#include "app/entry.hpp"

int main(int argc, char** argv) { return talq_main(argc, argv); }
