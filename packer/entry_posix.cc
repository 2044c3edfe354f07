#include "entry.h"

int main(int argc, char** argv) { return pack::Main(std::vector<std::string>(argv + 1, argv + argc)); }
