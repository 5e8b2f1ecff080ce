// A later start of the program, reduced to its hand-off: claims the socket
// given as the first argument with the URL given as the second.
// Exit 0: handed off; 2: no answer; 3: became the first or ran alone.
#include <QCoreApplication>

#include "platform/singleinstance.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() != 3) return 64;
  larkvale::platform::SingleInstance instance(args[1]);
  switch (instance.Claim(args[2])) {
    case larkvale::platform::SingleInstance::Role::HandedOff:
      return 0;
    case larkvale::platform::SingleInstance::Role::NoAnswer:
      return 2;
    default:
      return 3;
  }
}
