#include "publish/Signer.h"
