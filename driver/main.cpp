// Program entry: start-up, the main program, the normal end.
#include "driver/kelvarodine.hpp"
#include "textio/textio.hpp"

int main() {
  kelv::startUp();
  kelv::KELVARODINE();
  kelv::endRun();
}
