#pragma once
// Names, keys and texts of the product: each lives here once.

namespace kelo {

inline constexpr wchar_t kProductName[] = L"Kelo游戏浏览器";
inline constexpr wchar_t kWindowTitle[] = L"Kelo游戏浏览器安装/卸载程序";
inline constexpr wchar_t kSetupMutexName[] = L"KeloBrowserSetup";

// Files of the installation, each directly behind the install directory.
inline constexpr wchar_t kBrowserExe[] = L"KeloBrowser.exe";
inline constexpr wchar_t kUninstallExe[] = L"KeloUninstall.exe";
inline constexpr wchar_t kWebExe[] = L"KeloWeb.exe";
inline constexpr wchar_t kUpdateExe[] = L"KeloUpdate.exe";
inline constexpr wchar_t kStatIni[] = L"KeloS.ini";
inline constexpr wchar_t kPacketFileName[] = L"SetupPacket.7z";
inline constexpr wchar_t kLegacyPacketFileName[] = L"KeloBrowserInstallPacket.lzma";
inline constexpr wchar_t kDataFolder[] = L"Data";

// The payload packet resource.
inline constexpr wchar_t kPacketResourceType[] = L"FILE";
inline constexpr int kPacketResourceId = 143;

// Registry, all under HKEY_CURRENT_USER.
inline constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KeloBrowser";
inline constexpr wchar_t kInstallLocationValue[] = L"InstallLocation";
inline constexpr wchar_t kIdentityKey[] = L"Software\\Kelo\\Guid";
inline constexpr wchar_t kIdentityValue[] = L"Guid";
inline constexpr wchar_t kFailureMemoryKey[] = L"SOFTWARE\\KeloBrowser";
inline constexpr wchar_t kFailureMemoryValue[] = L"INSTALLERROR";
inline constexpr wchar_t kCompatAssistantKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility Assistant\\Persisted";

// Named objects of a running browser.
inline constexpr wchar_t kBrowserMutexName[] = L"KeloBrowser.exe";
inline constexpr wchar_t kUpdaterMutexName[] = L"KeloUpdate.exe";

// Web addresses of the product.
inline constexpr wchar_t kProductHost[] = L"www.kelogame.cn";
inline constexpr wchar_t kPublisher[] = L"Kelo游戏";
inline constexpr wchar_t kLicenceUrl[] = L"https://www.kelogame.cn/xukexieyi.html";
inline constexpr wchar_t kForumUrl[] = L"https://bbs.kelogame.cn/forum.php";

}  // namespace kelo
