// The work behind each llapi_* entry point, after EntryPoints.cpp has
// counted the call and checked for an injected failure. Each returns what
// the entry point returns.
#pragma once
#include <lustre/lustreapi.h>

namespace sim::lib {

// Identifiers (Identifiers.cpp).
int Path2Fid(const char* path, lu_fid* fid);
int Fd2Fid(int fd, lu_fid* fid);
int Fid2Path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno, int* linkno);
int Fid2PathAt(int mntFd, const lu_fid* fid, char* path, int pathlen, long long* recno, int* linkno);
int SearchFsname(const char* pathname, char* fsname);
int GetMdtIndexByFid(int fd, const lu_fid* fid, int* mdtIndex);
int FileFgetMdtidx(int fd, int* mdtIndex);

// Import of an archived file (HsmImport.cpp).
int HsmImport(const char* dst, int archive, const struct stat* st, int stripePattern, lu_fid* newfid);

// User requests (UserRequest.cpp).
hsm_user_request* UserRequestAlloc(int itemcount, int dataLen);
int Request(const char* path, const hsm_user_request* request);

// HSM state and current action (HsmState.cpp).
int StateGet(const char* path, hsm_user_state* hus);
int StateGetFd(int fd, hsm_user_state* hus);
int StateSet(const char* path, unsigned long long setMask, unsigned long long clearMask, unsigned archiveId);
int CurrentAction(const char* path, hsm_current_action* hca);

// Copytools (Copytool.cpp).
int CopytoolRegister(hsm_copytool_private** priv, const char* mnt, int archiveCount, const int* archives, int rfdFlags);
int CopytoolUnregister(hsm_copytool_private** priv);
int CopytoolRecv(hsm_copytool_private* priv, hsm_action_list** hal, int* msgsize);

// Copy actions (CopyAction.cpp).
int ActionBegin(hsm_copyaction_private** phcp, const hsm_copytool_private* ct, const hsm_action_item* hai,
                int restoreMdtIndex, int restoreOpenFlags, bool isError);
int ActionEnd(hsm_copyaction_private** phcp, const hsm_extent* he, int hpFlags, int errval);
int ActionProgress(hsm_copyaction_private* hcp, const hsm_extent* he, unsigned long long total, int hpFlags);
int ActionGetFd(const hsm_copyaction_private* hcp);
int ActionGetDfid(const hsm_copyaction_private* hcp, lu_fid* fid);

// Changelog readers (ChangelogReader.cpp).
int ChangelogStart(void** priv, int flags, const char* mdtname, long long startrec);
int ChangelogRecv(void* priv, changelog_rec** rech);
int ChangelogFree(changelog_rec** rech);
int ChangelogFini(void** priv);
int ChangelogClear(const char* mdtname, const char* idstr, long long endrec);
int ChangelogInBuf(void* priv);
int ChangelogGetFd(void* priv);
int ChangelogSetXflags(void* priv, unsigned extraFlags);

}  // namespace sim::lib
