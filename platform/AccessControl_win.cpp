#include "platform/AccessControl_win.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/WideText.h"

namespace dralmin {

ProcessUser::ProcessUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
  DWORD length = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &length);
  buffer_.resize(length / sizeof(DWORD) + 1);
  if (length == 0 || !GetTokenInformation(token, TokenUser, buffer_.data(), length, &length)) {
    buffer_.clear();
  }
  CloseHandle(token);
}

PSID ProcessUser::sid() const {
  if (buffer_.empty()) return nullptr;
  return reinterpret_cast<const TOKEN_USER*>(buffer_.data())->User.Sid;
}

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return "an unreadable SID";
  std::string narrow = Narrow(text);
  LocalFree(text);
  return narrow;
}

PrivateSecurity::PrivateSecurity() {
  const ProcessUser user;
  LPWSTR sid = nullptr;
  if (user.sid() == nullptr || !ConvertSidToStringSidW(user.sid(), &sid)) return;
  // Protected (P): nothing of the folder above is inherited; OICI: passed on to what is made
  // inside.
  const std::wstring text =
      std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;") + sid + L")";
  LocalFree(sid);
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            &descriptor_, nullptr)) {
    descriptor_ = nullptr;
    return;
  }
  attributes_ = {sizeof attributes_, descriptor_, FALSE};
}

PrivateSecurity::~PrivateSecurity() {
  LocalFree(descriptor_);
}

SECURITY_ATTRIBUTES* PrivateSecurity::attributes() {
  return descriptor_ == nullptr ? nullptr : &attributes_;
}

namespace {

// Those who may use what the agent keeps besides its user: the system and the administrators
// (who may take any file anyway), and the owner's placeholders, which stand for the owner.
bool MayUse(PSID sid, PSID user) {
  return EqualSid(sid, user) || IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerSid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

// Why the access list lets someone else in; empty when it does not.
std::string OthersAllowed(PACL dacl, PSID user) {
  if (dacl == nullptr) return "every user may use it (it has no access list)";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return "its access list cannot be read";
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    // Inherit-only entries apply to what is made inside, which is judged on its own.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    switch (header->AceType) {
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        continue;  // they only take access away
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
        // Both have the mask and then the SID at the same places.
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (allowed->Mask != 0 && !MayUse(sid, user)) {
          return "another user or group may use it (" + SidText(sid) + " in its access list)";
        }
        continue;
      }
      default:
        return "its access list has an entry of a kind the agent does not judge (type " +
               std::to_string(header->AceType) + ")";
    }
  }
  return {};
}

}  // namespace

std::string NotOwnRefusal(HANDLE handle) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    return "its owner and access list cannot be read (system error " + std::to_string(error) + ")";
  }
  const ProcessUser user;
  std::string why;
  if (user.sid() == nullptr) {
    why = "this agent's user cannot be told (system error " + std::to_string(GetLastError()) + ")";
  } else if (owner == nullptr) {
    why = "it has no owner (a disk without access control)";
  } else if (!EqualSid(owner, user.sid()) && !IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    why = "it belongs to " + SidText(owner) + ", not to this agent's user " + SidText(user.sid());
  } else {
    why = OthersAllowed(dacl, user.sid());
  }
  LocalFree(descriptor);
  return why;
}

}  // namespace dralmin
