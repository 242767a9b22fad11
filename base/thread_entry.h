// SPDX-License-Identifier: GPL-2.0-or-later
// The body of a POSIX thread entry that runs one operation of an object: the
// class-level entry receives the object as its argument and calls the operation
// (its result, if any, is dropped). For example:
//   void* CZELK::processTlvQueue(void* object) { return runOperation(object, &CZELK::_processTlvQueue); }
#pragma once

template <typename T, typename Result>
void* runOperation(void* object, Result (T::*operation)()) {
  (static_cast<T*>(object)->*operation)();
  return nullptr;
}
