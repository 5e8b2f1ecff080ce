#pragma once
// Finding a window's widgets by objectName, as a user's tools would.

#include <gtest/gtest.h>

#include <QObject>
#include <stdexcept>
#include <string>

namespace larkvale::testing {

// The descendant of `root` called `name`; the test fails (and ends) when
// there is none.
template <class T>
T* Child(const QObject* root, const char* name) {
  T* found = root->findChild<T*>(QString::fromLatin1(name));
  if (!found) {
    ADD_FAILURE() << "no widget named " << name;
    throw std::runtime_error(std::string("no widget named ") + name);
  }
  return found;
}

// The one descendant of `root` of type T.
template <class T>
T* Only(const QObject* root) {
  T* found = root->findChild<T*>();
  if (!found) {
    ADD_FAILURE() << "no such part of the window";
    throw std::runtime_error("no such part of the window");
  }
  return found;
}

}  // namespace larkvale::testing
