#include "ui/control_accessible.h"

#include <oleacc.h>

#include "base/module.h"
#include "base/win_holders.h"
#include "ui/setup_ui.h"

namespace kelo {

namespace {

// oleacc.dll is not among the system's known DLLs: it is taken from System32 at run time,
// like GDI+, never from beside the installer.
struct OleAcc {
  OleAcc() {
    HMODULE module = LoadSystemLibrary(L"oleacc.dll");
    ResolveFunction(module, "CreateStdAccessibleObject", &create);
    ResolveFunction(module, "LresultFromObject", &result);
  }
  HRESULT(WINAPI* create)(HWND, LONG, REFIID, void**) = nullptr;
  LRESULT(WINAPI* result)(REFIID, WPARAM, LPUNKNOWN) = nullptr;
};

const OleAcc& Api() {
  static const OleAcc api;
  return api;
}

bool IsSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

thread_local std::wstring* t_words_asked = nullptr;

// Everything the standard object says, but for the role and the state, a link's action, and
// the words a control has of its own (a name, a description, a progress bar's value).
class ControlAccessible : public IAccessible {
 public:
  ControlAccessible(HWND window, LONG role, const wchar_t* name) : window_(window), role_(role), name_(name) {}
  // Where the standard object is created into.
  void** ReceiveStandard() { return standard_.Receive(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
    if (id == IID_IUnknown || id == IID_IDispatch || id == IID_IAccessible) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    if (!IsSelf(child)) return standard_->get_accRole(child, role);
    role->vt = VT_I4;
    role->lVal = role_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    const HRESULT hr = standard_->get_accState(child, state);
    if (SUCCEEDED(hr) && IsSelf(child) && state->vt == VT_I4 && role_ == ROLE_SYSTEM_CHECKBUTTON) {
      // Asked each time: a reader may keep the object while the box is toggled.
      state->lVal &= ~STATE_SYSTEM_CHECKED;
      if (SendMessageW(window_, BM_GETCHECK, 0, 0) == BST_CHECKED) state->lVal |= STATE_SYSTEM_CHECKED;
    }
    // A link, and a progress bar the focus rests on, are labels to the standard object,
    // which takes no label for a place of the keyboard's.
    if (SUCCEEDED(hr) && IsSelf(child) && state->vt == VT_I4 &&
        (role_ == ROLE_SYSTEM_LINK || role_ == ROLE_SYSTEM_PROGRESSBAR))
      state->lVal |= (role_ == ROLE_SYSTEM_LINK ? STATE_SYSTEM_LINKED : 0) | STATE_SYSTEM_FOCUSABLE |
                     (GetFocus() == window_ ? STATE_SYSTEM_FOCUSED : 0);
    return hr;
  }
  // A link is followed as a click on it would: its window's command, to the window it is in.
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
    if (!IsSelf(child) || role_ != ROLE_SYSTEM_LINK) return standard_->get_accDefaultAction(child, action);
    *action = SysAllocString(L"打开");
    return *action ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
    if (!IsSelf(child) || role_ != ROLE_SYSTEM_LINK) return standard_->accDoDefaultAction(child);
    // A link not shown (its view gone, or its window with it) opens nothing: no success.
    if (!IsWindowVisible(window_)) return DISP_E_MEMBERNOTFOUND;
    return PostMessageW(GetParent(window_), WM_COMMAND, GetDlgCtrlID(window_), reinterpret_cast<LPARAM>(window_))
               ? S_OK
               : HRESULT_FROM_WIN32(GetLastError());
  }

  // The rest is the standard object's.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return standard_->GetTypeInfoCount(count); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT i, LCID l, ITypeInfo** t) override { return standard_->GetTypeInfo(i, l, t); }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID r, LPOLESTR* n, UINT c, LCID l, DISPID* d) override {
    return standard_->GetIDsOfNames(r, n, c, l, d);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID d, REFIID r, LCID l, WORD f, DISPPARAMS* p, VARIANT* v, EXCEPINFO* e,
                                   UINT* a) override {
    return standard_->Invoke(d, r, l, f, p, v, e, a);
  }
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** p) override { return standard_->get_accParent(p); }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* c) override { return standard_->get_accChildCount(c); }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT v, IDispatch** c) override { return standard_->get_accChild(v, c); }
  // A link and a progress bar are owner-drawn labels, which the standard object may take
  // for pictures and name after another label: they are named by their own words.
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    if (!IsSelf(child) || (!name_ && role_ != ROLE_SYSTEM_LINK && role_ != ROLE_SYSTEM_PROGRESSBAR))
      return standard_->get_accName(child, name);
    *name = SysAllocString(name_ ? name_ : WindowText(window_).c_str());
    return *name ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
    if (role_ != ROLE_SYSTEM_PROGRESSBAR) return standard_->get_accValue(child, value);
    return AskWindow(WM_KELO_GETVALUE, child, value, &IAccessible::get_accValue);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override {
    return AskWindow(WM_KELO_GETDESCRIPTION, child, description, &IAccessible::get_accDescription);
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT v, BSTR* n) override { return standard_->get_accHelp(v, n); }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* f, VARIANT v, LONG* t) override {
    return standard_->get_accHelpTopic(f, v, t);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT v, BSTR* n) override {
    return standard_->get_accKeyboardShortcut(v, n);
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* v) override { return standard_->get_accFocus(v); }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* v) override { return standard_->get_accSelection(v); }
  HRESULT STDMETHODCALLTYPE accSelect(LONG f, VARIANT v) override { return standard_->accSelect(f, v); }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* l, LONG* t, LONG* w, LONG* h, VARIANT v) override {
    return standard_->accLocation(l, t, w, h, v);
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG d, VARIANT s, VARIANT* e) override { return standard_->accNavigate(d, s, e); }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* v) override { return standard_->accHitTest(x, y, v); }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT v, BSTR n) override { return standard_->put_accName(v, n); }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT v, BSTR n) override { return standard_->put_accValue(v, n); }

 private:
  virtual ~ControlAccessible() = default;

  // The control's own words, asked with `message`; the standard object's when it has none.
  HRESULT AskWindow(UINT message, VARIANT child, BSTR* words,
                    HRESULT (IAccessible::*standard)(VARIANT, BSTR*)) {
    std::wstring text;
    if (IsSelf(child)) {
      t_words_asked = &text;
      SendMessageW(window_, message, 0, 0);
      t_words_asked = nullptr;
    }
    if (text.empty()) return (standard_.Get()->*standard)(child, words);
    *words = SysAllocString(text.c_str());
    return *words ? S_OK : E_OUTOFMEMORY;
  }

  ScopedComPtr<IAccessible> standard_;
  HWND window_;
  LONG role_;
  const wchar_t* name_;  // a constant's, or null
  LONG references_ = 1;
};

}  // namespace

std::wstring* WordsAsked() { return t_words_asked; }

LRESULT AnswerGetObject(HWND window, WPARAM wparam, LPARAM lparam, LONG role, const wchar_t* name) {
  if (static_cast<LONG>(lparam) != static_cast<LONG>(OBJID_CLIENT)) return 0;
  const OleAcc& api = Api();
  if (!api.create || !api.result) return 0;
  auto* control = new ControlAccessible(window, role, name);
  const LRESULT answer = SUCCEEDED(api.create(window, OBJID_CLIENT, IID_IAccessible, control->ReceiveStandard()))
                             ? api.result(IID_IAccessible, wparam, control)
                             : 0;
  control->Release();
  return answer;
}

}  // namespace kelo
