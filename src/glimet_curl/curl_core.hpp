// The curl command reader: text in, request out, no Python involved.
#pragma once
