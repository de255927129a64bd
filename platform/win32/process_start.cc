#include "platform/win32/process_start.h"

namespace halvex::win32 {

namespace {

// The handles a child inherits, as a process attribute list.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    if (handles_.empty()) return;
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      error_ = ::GetLastError();
      return;
    }
    list_ = list;
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      error_ = ::GetLastError();
    }
  }
  ~InheritList() {
    if (list_) ::DeleteProcThreadAttributeList(list_);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;

  bool empty() const { return handles_.empty(); }
  DWORD error() const { return error_; }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::string storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  DWORD error_ = 0;
};

}  // namespace

DWORD start_process(const ProcessStart& start, PROCESS_INFORMATION* info) {
  InheritList list(start.inherit);
  if (list.error() != 0) return list.error();
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.StartupInfo.wShowWindow = SW_HIDE;
  si.StartupInfo.hStdOutput = start.std_output;
  si.StartupInfo.hStdError = start.std_error;
  si.lpAttributeList = list.get();
  DWORD flags = start.console ? CREATE_NO_WINDOW : DETACHED_PROCESS;
  if (!list.empty()) flags |= EXTENDED_STARTUPINFO_PRESENT;
  // Out of the agent's job, so that a job closed with the agent does not
  // take the child along; a job that forbids leaving keeps it.
  if (start.own_group) flags |= CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
  const wchar_t* app = start.application.empty() ? nullptr : start.application.c_str();
  std::wstring line = start.command_line;  // CreateProcessW may write into it
  BOOL inherit = !list.empty();
  if (::CreateProcessW(app, line.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr,
                       &si.StartupInfo, info))
    return 0;
  DWORD error = ::GetLastError();
  if (!(flags & CREATE_BREAKAWAY_FROM_JOB) || error != ERROR_ACCESS_DENIED) return error;
  flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
  line = start.command_line;
  if (::CreateProcessW(app, line.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr,
                       &si.StartupInfo, info))
    return 0;
  return ::GetLastError();
}

}  // namespace halvex::win32
