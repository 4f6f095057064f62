#pragma once
// The names the launcher gives to files of the game folder, relative to its top. The folder
// lock's name is the platform's (KFolderLockName in platform/FolderLock.h).

namespace vt {

// The game, started with "-launched" once the folder is up to date.
constexpr const char* KGameName = "vt.exe";
// The launcher itself, replaced specially when the list carries a new one.
constexpr const char* KLauncherName = "vtlaunch.exe";
// The new launcher while it arrives, and the old one once it has been moved aside.
constexpr const char* KNewLauncherName = "vtlaunch.new";
constexpr const char* KOldLauncherName = "vtlaunch.old";
// The record of the installed build.
constexpr const char* KInstalledName = "installed.json";
// What the launcher remembers of the releases it verified: keys and the highest sequence.
constexpr const char* KTrustName = "vtlaunch.trust";
// The window's background picture.
constexpr const char* KPicturePath = "frontend/graphics/background1.jpeg";

}  // namespace vt
