#pragma once
// Reads the broker stand-in's journal of subscriptions, to see what a module
// registered and unregistered, and in which order.

#include <string>
#include <vector>

namespace testing_support {

// The journal's lines for one signal name, "+Name" / "-Name" per call.
std::vector<std::wstring> JournalOf(const std::wstring& signalName);
void ClearJournal();
// Makes the broker refuse registrations of one full name; empty: refuse none.
void RefuseRegistration(const std::wstring& fullName);
// Makes the broker's next `count` pulls give no record.
void WithholdPulls(unsigned count);
// Polls (in real time, up to ten seconds) until the journal shows the line.
bool WaitForJournalLine(const std::wstring& signalName, const std::wstring& line);

}  // namespace testing_support
