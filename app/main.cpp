// velmora: started in a directory holding "CompareThese.inp", prints the sum of
// squared differences between the second columns of the two data files it names.
// Command-line arguments and the environment are never consulted.
#include "comparison/comparison.h"

int main() {
  velmora::prepareProcess();
  return velmora::runComparison();
}
