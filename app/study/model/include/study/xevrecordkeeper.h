#pragma once

// The study records outlive every reader that may touch them. A reader takes a hold where it
// is handed records, on the GUI thread; records let go while a hold taken before that remains
// are freed once the last such hold goes, on the GUI thread (a frame's annotations own edit
// boxes). With no such hold they are freed at once.

#include <cstddef>
#include <memory>
#include <vector>

class PatientInfo;

// Keeps every record not yet let go, and every one let go after this call, while it lives.
std::shared_ptr<const void> XEVHoldRecords();
// Takes the records over and empties the vector.
void XEVRetireRecords(std::vector<PatientInfo*>& records);
// Record sets let go and not yet freed: still held, or waiting for the GUI thread.
size_t XEVRecordSetsAwaitingFree();
