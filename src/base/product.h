#pragma once
// Names, keys and texts of the product: each lives here once.

namespace kelo {

inline constexpr wchar_t kProductName[] = L"Kelo游戏浏览器";
inline constexpr wchar_t kWindowTitle[] = L"Kelo游戏浏览器安装/卸载程序";
// The hidden window of an install the user sees no window of (/S, or the window closed while
// it runs): the system asks it whether the session may end.
inline constexpr wchar_t kSessionWindowClass[] = L"KeloSetupSession";
inline constexpr wchar_t kSetupMutexName[] = L"KeloBrowserSetup";

// Exit codes of the setup program and the uninstaller.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitInstallFailed = 1;  // an install (or uninstall) was tried and failed
inline constexpr int kExitNoWindow = 2;       // the window could not be made
inline constexpr int kExitCancelled = 3;      // the user said no to the uninstall
inline constexpr int kExitUsage = 4;          // a switch the program does not know
inline constexpr int kExitAlreadyRunning = 5; // /S while another copy runs: nothing done
inline constexpr int kExitBadDirectory = 6;   // /S with a directory the field would refuse
inline constexpr int kExitServiceAccount = 7;  // run as a service account, no person's: nothing done

// Files of the installation, each directly behind the install directory.
inline constexpr wchar_t kBrowserExe[] = L"KeloBrowser.exe";
// The main program's name as the packet and the install's file operations spell it.
inline constexpr char kBrowserRecordName[] = "KeloBrowser.exe";
inline constexpr wchar_t kUninstallExe[] = L"KeloUninstall.exe";
inline constexpr wchar_t kWebExe[] = L"KeloWeb.exe";
inline constexpr wchar_t kUpdateExe[] = L"KeloUpdate.exe";
inline constexpr wchar_t kStatIni[] = L"KeloS.ini";
inline constexpr wchar_t kLegacyPacketFileName[] = L"KeloBrowserInstallPacket.lzma";

// The payload packet resource, the SHA-256 of its bytes that the build stores beside it, and
// the bytes of its longest name and longest folder (16 bits each, little-endian).
inline constexpr wchar_t kPacketResourceType[] = L"FILE";
inline constexpr int kPacketResourceId = 143;
inline constexpr int kPacketDigestResourceId = 144;
inline constexpr int kPacketReachResourceId = 145;

// Registry, all under HKEY_CURRENT_USER.
inline constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KeloBrowser";
inline constexpr wchar_t kInstallLocationValue[] = L"InstallLocation";
inline constexpr wchar_t kUninstallStringValue[] = L"UninstallString";
inline constexpr wchar_t kIdentityKey[] = L"Software\\Kelo\\Guid";
inline constexpr wchar_t kIdentityValue[] = L"Guid";
// Where an uninstall kept the browser's Data, for the next install to propose while no
// entry records a location.
inline constexpr wchar_t kKeptDataKey[] = L"Software\\Kelo";
inline constexpr wchar_t kKeptDataValue[] = L"KeptDataLocation";
inline constexpr wchar_t kKeptDataLevelsValue[] = L"KeptDataFolderLevels";  // the product's, to go once empty
inline constexpr wchar_t kDataDirName[] = L"Data";  // the browser's profiles, in its folder
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
// Shown by the system while an install holds back the end of the session.
inline constexpr wchar_t kInstallingBlockReason[] = L"正在安装Kelo游戏浏览器，请等安装完成。";
inline constexpr wchar_t kRunningWarning[] = L"Kelo游戏浏览器或者相关进程正在运行,点击安装将关闭浏览器并安装";
inline constexpr wchar_t kFailureTitle[] = L"安装失败";
inline constexpr wchar_t kFeedbackLink[] = L"请点击这里进行问题反馈";
inline constexpr wchar_t kFailureAdvice1[] = L"非常抱歉，安装失败了，请参照以下方案，重新安装:";
inline constexpr wchar_t kFailureAdvice2[] = L"1、暂时关闭安全类杀毒软件，如360或者金山；";
inline constexpr wchar_t kFailureAdvice3[] = L"2、换一个有足够空间的安装目录";
inline constexpr wchar_t kDamagedText1[] = L"安装程序已损坏，无法安装。";
inline constexpr wchar_t kDamagedText2[] = L"请重新下载安装程序后再安装。";
inline constexpr wchar_t kLogLinePrefix[] = L"安装日志：";
// The buttons' names, as their pictures spell them, for screen readers.
inline constexpr wchar_t kCloseButtonName[] = L"关闭";
inline constexpr wchar_t kQuickInstallButtonName[] = L"极速安装";
inline constexpr wchar_t kInstallNowButtonName[] = L"立即安装";
inline constexpr wchar_t kExpandButtonName[] = L"自定义安装";
inline constexpr wchar_t kCollapseButtonName[] = L"收起自定义安装";
inline constexpr wchar_t kBrowseButtonName[] = L"更改路径";
// What the progress and finished views' pictures say, and the directory field's name.
inline constexpr wchar_t kInstallingWords[] = L"正在安装";
inline constexpr wchar_t kFinishedWords[] = L"安装完成";
inline constexpr wchar_t kDirFieldName[] = L"安装目录";
inline constexpr wchar_t kWindowFontFace[] = L"宋体";

// Shortcuts: file names in the user's folders, and the start-menu product folder.
inline constexpr wchar_t kShortcutName[] = L"Kelo游戏浏览器.lnk";
inline constexpr wchar_t kAssistShortcutName[] = L"Kelo游戏辅助.lnk";
inline constexpr wchar_t kUninstallShortcutName[] = L"卸载Kelo游戏浏览器.lnk";
inline constexpr wchar_t kStartMenuVendorFolder[] = L"Kelo软件中心";
inline constexpr wchar_t kQuickLaunchFolder[] = L"\\Microsoft\\Internet Explorer\\Quick Launch\\";

// The identity step's statistics section and the browser's first-launch argument.
inline constexpr wchar_t kStatSection[] = L"StatInfo";
inline constexpr wchar_t kChannelIdKey[] = L"ChannelId";
inline constexpr wchar_t kIsNewUserKey[] = L"IsNewUser";
inline constexpr wchar_t kFirstLaunchArgument[] = L"-Setup";

// The install directory: proposal suffixes and the messages under the directory field.
inline constexpr wchar_t kDefaultDirSuffix[] = L"\\Kelo\\KeloBrowser\\";
inline constexpr wchar_t kBrowsedDirSuffix[] = L"\\KeloBrowser";
inline constexpr wchar_t kBrowseDirTitle[] = L"请选择安装目录：";
inline constexpr wchar_t kDirBadFormText[] = L"请选择一个正确的目录路径";
inline constexpr wchar_t kDirNotWritableText[] = L"当前选择目录没有写权限, 请选择另一个目录";
inline constexpr wchar_t kDiskTooFullText[] = L"剩余空间不足, 请选择其他分区";
inline constexpr wchar_t kDiskUnknownText[] = L"无法获取剩余空间, 请选择其他分区";
inline constexpr wchar_t kFreeSpaceGbFormat[] = L"剩余空间: %.2lfGB";
inline constexpr wchar_t kFreeSpaceMbFormat[] = L"剩余空间: %.2lfMB";

}  // namespace kelo
