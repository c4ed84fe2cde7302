local b, h = {}, {}
for i = 1, 1000000 do b[i] = i * 3 end
for p = 1, #b do if h[b[p]] == nil then h[b[p]] = p end end
local n = 0
for i = 1, 1000000 do n = n + h[(i * 37 % 1000000 + 1) * 3] % 7 end
local function index(t, v)
  for j = 1, #t do if t[j] == v then return j end end
end
local m = 0
for i = 1, 1000 do m = m + index(b, (i * 37 % 1000000 + 1) * 3) end
print(n .. " " .. m)
