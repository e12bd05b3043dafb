#pragma once
// The one record that travels between a module and the event broker.

#include <boost/serialization/access.hpp>
#include <boost/serialization/split_member.hpp>
#include <boost/serialization/version.hpp>
#include <cstdint>
#include <string>
#include <vector>

enum class EventCode : std::int32_t { Default = 2 };

struct EventEntry {
  std::int32_t Number = 0;
  std::wstring FirstText;
  std::wstring SecondText;
};

class EventData {
 public:
  EventData();
  EventData(std::wstring category, std::wstring name, std::wstring parameter);
  virtual ~EventData();
  // The record owns Data through a raw pointer: no implicit copies.
  EventData(const EventData&) = delete;
  EventData& operator=(const EventData&) = delete;

  void Clear();
  std::wstring FullName() const { return Category + L"." + Name; }

  std::wstring Category;
  std::wstring Name;
  EventCode PrimaryCode;
  std::wstring Sender;
  EventCode SecondaryCode;
  std::wstring AuxText1;
  std::wstring AuxText2;
  std::uint32_t DataLength;
  unsigned char* Data;  // DataLength bytes, owned, allocated with new[]
  std::uint32_t AuxValue;
  std::wstring Parameter;
  std::vector<EventEntry> Entries;

 private:
  friend class boost::serialization::access;
  template <class Archive>
  void save(Archive& archive, unsigned int version) const;
  template <class Archive>
  void load(Archive& archive, unsigned int version);
  BOOST_SERIALIZATION_SPLIT_MEMBER()
};

BOOST_CLASS_VERSION(EventData, 0)
