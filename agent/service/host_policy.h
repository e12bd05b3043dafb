#pragma once
// The host policy that the service hands the module: an XML segment
// <qvhosts><host name="..."/>...</qvhosts>, kept as the bytes that are sent.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace service {

// The largest policy file the service reads (the broker's archive limit is
// of the same order).
inline constexpr std::size_t kMaxPolicyBytes = 8 * 1024 * 1024;

// Three hosts: Alpha, Beta and Gamma.
std::string DefaultPolicyDocument();

// The segment without the entries of one host; empty optional when the
// segment cannot be read.
std::optional<std::string> PolicyWithoutHost(const std::string& document, const std::wstring& hostName);

// The host names a segment lists, in document order; empty optional when it
// does not parse or has no "qvhosts" root.
std::optional<std::vector<std::wstring>> PolicyHostNames(const std::string& document);

// The current policy, shared by the command and event threads, and every
// host name any policy listed (the module list must know them all).
class PolicyStore {
 public:
  explicit PolicyStore(std::string document);

  std::string Document() const;
  std::vector<std::wstring> Hosts() const;
  std::vector<std::wstring> HostsEverListed() const;
  // The document becomes the current one whatever it holds; false when its
  // hosts cannot be read (the known hosts then stay as they were).
  bool Replace(std::string document);
  // Takes the host's entries out of the current document, as the agent does
  // when it removes a host; false when it had none.
  bool RemoveHost(const std::wstring& hostName);

 private:
  void Remember(const std::vector<std::wstring>& hosts);

  mutable std::mutex mutex;
  std::string document;
  std::vector<std::wstring> hosts;
  std::vector<std::wstring> everListed;
};

}  // namespace service
