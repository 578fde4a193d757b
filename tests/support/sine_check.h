#pragma once // placeholder
