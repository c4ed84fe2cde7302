local b = {}
for i = 1, 100 do b[i] = "w" .. i end
local keys = {}
for i = 1, 100 do keys[i] = b[i] end
local function index(t, v)
  for j = 1, #t do if t[j] == v then return j end end
end
local n = 0
for i = 1, 200000 do n = n + index(b, keys[i * 37 % 100 + 1]) end
print(n)
