local b = {}
local x = 1
for _ = 1, 1000000 do
  x = (x * 1103 + 12345) % 1000003
  b[#b + 1] = x
end
table.sort(b)
print(string.format("%d %d %d", b[1], b[500000], b[#b]))
