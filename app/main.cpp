#include "app/application.h"

int main(int argc, char *argv[]) {
  TApplication app(argc, argv);
  return runClient(app);
}
