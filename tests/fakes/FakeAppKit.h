// The dialog double (placeholder; the recording fake replaces this).
#pragma once
