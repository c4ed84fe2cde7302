local m, count = {}, 0
local keys = {}
for i = 1, 1000000 do keys[i] = "k" .. i end
for i = 1, 1000000 do
  if m[keys[i]] == nil then count = count + 1 end
  m[keys[i]] = i
end
local n = 0
for i = 1, 1000000 do n = n + m[keys[i * 37 % 1000000 + 1]] % 7 end
print(count .. " " .. n)
