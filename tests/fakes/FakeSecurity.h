// The keychain double (placeholder; the in-process fake keychain replaces this).
#pragma once
