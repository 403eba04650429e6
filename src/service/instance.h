// The one service instance behind the exports: created by initialize, destroyed by
// unInitialize, null otherwise. The host calls neither of them concurrently with another
// export, so no lock guards it.
#pragma once

class CVoiceTalk;

namespace talkhub {

CVoiceTalk* serviceInstance();

}  // namespace talkhub
