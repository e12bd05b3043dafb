#include "module/event_data.h"

EventData::EventData() : Data(nullptr) { Clear(); }

EventData::EventData(std::wstring category, std::wstring name, std::wstring parameter) : Data(nullptr) {
  Clear();
  Category = std::move(category);
  Name = std::move(name);
  Parameter = std::move(parameter);
}

EventData::~EventData() { Clear(); }

void EventData::Clear() {
  delete[] Data;
  Data = nullptr;
  Category.clear();
  Name.clear();
  Sender.clear();
  AuxText1.clear();
  AuxText2.clear();
  Parameter.clear();
  PrimaryCode = EventCode::Default;
  SecondaryCode = EventCode::Default;
  DataLength = 0;
  AuxValue = 0;
  Entries.clear();
}
