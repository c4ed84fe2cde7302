local w, h = 1000, 1000
local img = {}  -- B G R A per pixel, 1-based
local i = 0
for y = 1, h do
  for x = 1, w do
    local p = 4 * i
    img[p + 1] = (x + y) % 256
    img[p + 2] = y % 256
    img[p + 3] = x % 256
    img[p + 4] = 255
    i = i + 1
  end
end
local data = {}
for k = 0, w * h - 1 do
  data[3 * k + 1] = img[4 * k + 3]
  data[3 * k + 2] = img[4 * k + 2]
  data[3 * k + 3] = img[4 * k + 1]
end
local s = 0
i = 1
while i <= #data do
  s = s + data[i]
  i = i + 997
end
print(#data .. " " .. s)
