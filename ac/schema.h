// The schema check's process-wide state, for tests that need a fresh process's
// answers without starting one.
#pragma once

namespace acdc::ac {

// Puts the schema flags back as they are at load (force set, no update in
// progress). Takes the general lock for it, so it waits for an open update window.
void ResetSchemaState();

}  // namespace acdc::ac
