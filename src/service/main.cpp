// orlocard: the card access controller service.
#include <iostream>

#include "platform/program.h"

int main() {
  std::cout << "orlocard\n";
  return 0;
}
