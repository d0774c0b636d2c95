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

// The installer window: labels, the running-browser warning and the failure page.
inline constexpr wchar_t kDesktopShortcutLabel[] = L"添加到桌面快捷方式";
inline constexpr wchar_t kTaskbarLabel[] = L"添加到任务栏";
inline constexpr wchar_t kDefaultBrowserLabel[] = L"设为默认浏览器";
inline constexpr wchar_t kLicenceLabel[] = L"同意用户许可协议";
inline constexpr wchar_t kExperienceLabel[] = L"加入用户体验计划";
inline constexpr wchar_t kRunningWarning[] = L"Kelo游戏浏览器或者相关进程正在运行,点击安装将关闭浏览器并安装";
inline constexpr wchar_t kFailureTitle[] = L"安装失败";
inline constexpr wchar_t kFeedbackLink[] = L"请点击这里进行问题反馈";
inline constexpr wchar_t kFailureAdvice1[] = L"非常抱歉，安装失败了，请参照以下方案，重新安装:";
inline constexpr wchar_t kFailureAdvice2[] = L"1、暂时关闭安全类杀毒软件，如360或者金山；";
inline constexpr wchar_t kFailureAdvice3[] = L"2、换一个有足够空间的安装目录";
inline constexpr wchar_t kWindowFontFace[] = L"宋体";

}  // namespace kelo
