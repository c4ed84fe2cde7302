local n = 10000000
local v, f = {}, {}
for i = 1, n do v[i] = 0; f[i] = 0.0 end
for i = 1, n do f[i] = f[i] + 1.0 end
for r = 1, 3 do for i = 1, n do v[i] = v[i] + 1 end end
for r = 1, 3 do for i = 1, n do f[i] = f[i] * 1.5 end end
print(string.format("%d %d %s", v[1], v[n], tostring(f[n])))
